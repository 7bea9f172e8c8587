#include "ilst.h"

#include <cstring>

#include "byte_order.h"
#include "log.h"

namespace bv {

namespace {

struct KnownKeyDef {
  const char* code;
  const char* name;
};

const KnownKeyDef kKnownKeys[CMp4IlstAtom::kKnownKeyCount] = {
    {"\xA9nam", "title"},     {"\xA9" "ART", "artist"},   {"aART", "album_artist"},
    {"\xA9wrt", "composer"},  {"\xA9" "alb", "album"},    {"\xA9" "day", "date"},
    {"\xA9too", "encoding_tool"}, {"\xA9" "cmt", "comment"}, {"\xA9gen", "genre"},
    {"\xA9" "cpy", "copyright"}, {"\xA9grp", "grouping"}, {"\xA9lyr", "lyrics"},
    {"desc", "description"},  {"ldes", "synopsis"},       {"tvsh", "show"},
    {"tven", "episode_id"},   {"tvnn", "network"},
};

// A text value ends at its first zero byte; a non-zero `length` is the
// extent the caller vouches for, so the scan never goes past it.
std::string TextOf(const void* value, uint32_t length) {
  const char* text = static_cast<const char*>(value);
  if (length == 0) return std::string(text);
  const void* end = std::memchr(text, 0, length);
  return std::string(text, end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text) : length);
}

bool IsKnownType(uint32_t type) {
  return type == CMp4IlstAtom::kTypeBinary || type == CMp4IlstAtom::kTypeUtf8 ||
         type == CMp4IlstAtom::kTypeInt32;
}

}  // namespace

CMp4IlstAtom::CMp4IlstAtom(IBaseIO* io) : CMp4Atom(io) {
  for (size_t i = 0; i < kKnownKeyCount; ++i) {
    std::memcpy(m_known[i].code, kKnownKeys[i].code, 5);
    m_known[i].name = kKnownKeys[i].name;
  }
}

bool CMp4IlstAtom::SetKnown(const char* key, const void* value, uint32_t length) {
  for (auto& entry : m_known) {
    if (std::strcmp(key, entry.name) != 0 && std::strcmp(key, entry.code) != 0) continue;
    entry.value.reset();
    if (value != nullptr) {
      entry.value = TextOf(value, length);
      return true;
    }
  }
  return false;
}

void CMp4IlstAtom::AddTyped(uint32_t keyIndex, const void* value, uint32_t length, int32_t dataType) {
  TypedItem item;
  item.dataType = static_cast<uint32_t>(dataType);
  item.keyIndex = keyIndex;
  if (item.dataType == kTypeBinary || item.dataType == kTypeInt32) {
    const uint8_t* bytes = static_cast<const uint8_t*>(value);
    item.value.assign(bytes, bytes + length);
    // An integer is always read as four bytes; a shorter value reads as if
    // zero-padded.
    if (item.dataType == kTypeInt32 && item.value.size() < 4) item.value.resize(4, 0);
    item.length = length;
  } else {
    const std::string text = TextOf(value, length);
    item.value.assign(text.begin(), text.end());
    item.length = static_cast<uint32_t>(text.size());
  }
  m_items.push_back(std::move(item));
}

uint32_t CMp4IlstAtom::GetSize() {
  uint32_t size = 8;
  for (const auto& entry : m_known) {
    if (entry.value) size += 24 + static_cast<uint32_t>(entry.value->size());
  }
  for (const auto& item : m_items) {
    if (item.dataType == kTypeInt32) {
      size += 28;
    } else if (IsKnownType(item.dataType)) {
      size += 24 + item.length;
    } else {
      LOGE("unknown meta data type:%d", static_cast<int>(item.dataType));
    }
  }
  return size;
}

void CMp4IlstAtom::Write() {
  auto putData = [this](uint32_t wellKnownType, const void* bytes, uint32_t n) {
    PutU32(m_buffer, 16 + n);
    PutFourCC(m_buffer, "data");
    PutU32(m_buffer, wellKnownType);  // version 0 and type
    PutU32(m_buffer, 0);              // locale
    PutBytes(m_buffer, bytes, n);
  };

  const int64_t start = m_buffer.Ftell();
  PutHeader(m_buffer, 8, "ilst");
  for (const auto& entry : m_known) {
    if (!entry.value) continue;
    const uint32_t n = static_cast<uint32_t>(entry.value->size());
    PutU32(m_buffer, 24 + n);
    PutFourCC(m_buffer, entry.code);
    putData(kTypeUtf8, entry.value->data(), n);
  }
  for (const auto& item : m_items) {
    if (item.dataType == kTypeInt32) {
      int32_t v = 0;
      std::memcpy(&v, item.value.data(), sizeof(v));  // host byte order
      uint8_t be[4];
      StoreBE32(be, static_cast<uint32_t>(v));
      PutU32(m_buffer, 28);
      PutU32(m_buffer, item.keyIndex);
      putData(kTypeInt32, be, 4);
    } else if (IsKnownType(item.dataType)) {
      // Plain bytes carry the same type word as text; only integers differ.
      PutU32(m_buffer, 24 + item.length);
      PutU32(m_buffer, item.keyIndex);
      putData(kTypeUtf8, item.value.data(), item.length);
    } else {
      LOGE("unknown meta data type:%d", static_cast<int>(item.dataType));
    }
  }
  UpdateBufferSize(start);
  m_buffer.Flush();
}

uint32_t CMp4KeysAtom::Add(const char* name, const char* keyNamespace) {
  Key key;
  key.name = name;
  key.keyNamespace.fill('\0');
  const char* ns = keyNamespace != nullptr ? keyNamespace : "mdta";
  // Never read past a namespace shorter than its four bytes.
  for (size_t i = 0; i < key.keyNamespace.size() && ns[i] != '\0'; ++i) key.keyNamespace[i] = ns[i];
  m_keys.push_back(std::move(key));
  return m_nextIndex++;
}

uint32_t CMp4KeysAtom::GetSize() {
  uint32_t size = 16;
  for (const auto& key : m_keys) size += 8 + static_cast<uint32_t>(key.name.size());
  return size;
}

void CMp4KeysAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutFullHeader(*m_pIO, 12, "keys", 0, 0);
  PutU32(*m_pIO, m_nextIndex - 1);
  for (const auto& key : m_keys) {
    const uint32_t n = static_cast<uint32_t>(key.name.size());
    PutU32(*m_pIO, 8 + n);
    PutBytes(*m_pIO, key.keyNamespace.data(), 4);
    PutBytes(*m_pIO, key.name.data(), n);
  }
  UpdateSize(start);
}

bool CMp4MetaAtom::SetMeta(const char* key, const void* value, uint32_t length, int32_t dataType,
                           const char* keyNamespace) {
  if (key == nullptr) return false;
  if (!m_bMdtaForm) return m_ilst.SetKnown(key, value, length);

  m_bHasKeys = true;
  const uint32_t index = m_keys.Add(key, keyNamespace);
  if (value == nullptr) return false;
  m_ilst.AddTyped(index, value, length, dataType);
  return true;
}

uint32_t CMp4MetaAtom::GetSize() {
  uint32_t size = 8 + (m_bFullBox ? 4 : 0) + kHandlerSize;
  if (m_bHasKeys) size += m_keys.GetSize();
  return size + m_ilst.GetSize();
}

void CMp4MetaAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  if (m_bFullBox) {
    PutFullHeader(*m_pIO, 12, "meta", 0, 0);
  } else {
    PutHeader(*m_pIO, 8, "meta");
  }
  PutFullHeader(*m_pIO, kHandlerSize, "hdlr", 0, 0);
  PutU32(*m_pIO, 0);
  PutFourCC(*m_pIO, m_bMdtaForm ? "mdta" : "mdir");
  PutFourCC(*m_pIO, "appl");
  PutZeros(*m_pIO, 9);  // two zero words and the empty name
  if (m_bHasKeys) m_keys.Write();
  m_ilst.Write();
  UpdateSize(start);
}

void CMp4UdtaAtom::Write() {
  const int64_t start = m_pIO->Ftell();
  PutHeader(*m_pIO, 8, "udta");
  m_meta.Write();
  UpdateSize(start);
}

}  // namespace bv
