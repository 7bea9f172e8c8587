// Metadata boxes: the item list with its table of well-known keys, the
// free-form keys box, the meta box in its two forms and the movie's user-data
// box.
//
// Two forms of "meta" exist side by side in a movie:
//  - the item-list form (handler "mdir") under "udta", which takes only the
//    keys of a fixed table and stores them as text under their item codes;
//  - the keys form (handler "mdta") directly in "moov", which takes any key
//    under a namespace and stores typed values addressed by key index.
// ISO files give every "meta" a version and flags word; QuickTime's keys form
// has none, so that word is left out only for the keys form in a movie.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "atom.h"

namespace bv {

class CMp4IlstAtom : public CMp4Atom {
 public:
  // Value types of a typed item.
  static constexpr uint32_t kTypeBinary = 0;
  static constexpr uint32_t kTypeUtf8 = 1;
  static constexpr uint32_t kTypeInt32 = 21;  // big-endian signed integer

  struct KnownKey {
    char code[5];      // four-byte item code, zero-terminated for comparison
    const char* name;  // the key the host may use instead of the code
    std::optional<std::string> value;
  };

  struct TypedItem {
    std::vector<uint8_t> value;  // owned copy; at least 4 bytes for kTypeInt32
    uint32_t dataType;
    uint32_t keyIndex;
    uint32_t length;  // bytes of the value as given (text: without terminator)
  };

  static constexpr size_t kKnownKeyCount = 17;

  explicit CMp4IlstAtom(IBaseIO* io);
  void Write() override;
  // Logs every typed item of an unknown type, which Write will drop too.
  uint32_t GetSize() override;

  // The known-key form: true when `key` (a key name or an item code) is in
  // the table and `value` was stored. A matching key without a value clears
  // the entry and yields false.
  bool SetKnown(const char* key, const void* value, uint32_t length);
  // The typed form: stores a copy of the value under `keyIndex`.
  void AddTyped(uint32_t keyIndex, const void* value, uint32_t length, int32_t dataType);

  std::array<KnownKey, kKnownKeyCount> m_known;
  std::vector<TypedItem> m_items;
};

class CMp4KeysAtom : public CMp4Atom {
 public:
  struct Key {
    std::string name;
    std::array<char, 4> keyNamespace;  // zero-padded when shorter
  };

  using CMp4Atom::CMp4Atom;
  void Write() override;
  uint32_t GetSize() override;

  // Appends a key; a null namespace means "mdta". Returns the key's index.
  uint32_t Add(const char* name, const char* keyNamespace);

  uint32_t m_nextIndex = 1;  // index the next key gets
  std::vector<Key> m_keys;
};

class CMp4MetaAtom : public CMp4Atom {
 public:
  explicit CMp4MetaAtom(IBaseIO* io, bool mdtaForm = false)
      : CMp4Atom(io), m_bMdtaForm(mdtaForm), m_bFullBox(!mdtaForm), m_ilst(io), m_keys(io) {}
  void Write() override;
  uint32_t GetSize() override;

  // True when the item was taken, false when this form declines it.
  // `length` is the byte count of `value` for data types 0 and 21; for text
  // it bounds the read when non-zero (the text also ends at its first zero).
  bool SetMeta(const char* key, const void* value, uint32_t length, int32_t dataType, const char* keyNamespace);

  static constexpr uint32_t kHandlerSize = 33;

  bool m_bHasKeys = false;
  bool m_bMdtaForm;
  bool m_bFullBox;  // version and flags after the header
  CMp4IlstAtom m_ilst;
  CMp4KeysAtom m_keys;
};

class CMp4UdtaAtom : public CMp4Atom {
 public:
  explicit CMp4UdtaAtom(IBaseIO* io) : CMp4Atom(io), m_meta(io, false) {}
  void Write() override;
  uint32_t GetSize() override { return 8 + m_meta.GetSize(); }

  CMp4MetaAtom m_meta;
};

}  // namespace bv
