// Locale-independent UTF-8 <-> wide conversion used for every path.
#include <cwchar>

#include "platform.h"

namespace bv {
namespace plat {

namespace {

// Decodes one code point; returns the bytes consumed, or 0 for an invalid
// sequence.
int DecodeOne(const unsigned char* s, uint32_t* cp) {
  const unsigned char c = s[0];
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  int len;
  uint32_t v;
  uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, v = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, v = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;  // also stops at the terminator
    v = (v << 6) | (s[i] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

constexpr bool kWide16 = sizeof(wchar_t) == 2;

}  // namespace

long Utf8ToWide(const char* in, wchar_t* out, size_t cap) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(in);
  size_t units = 0;
  while (*s) {
    uint32_t cp = 0;
    const int n = DecodeOne(s, &cp);
    if (n == 0) return -1;
    s += n;
    const size_t need = (kWide16 && cp > 0xFFFF) ? 2 : 1;
    if (out != nullptr && units + need <= cap) {
      if (need == 2) {
        cp -= 0x10000;
        out[units] = static_cast<wchar_t>(0xD800 + (cp >> 10));
        out[units + 1] = static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
      } else {
        out[units] = static_cast<wchar_t>(cp);
      }
    }
    units += need;
  }
  if (out != nullptr && units < cap + 1) out[units <= cap ? units : cap] = L'\0';
  return static_cast<long>(units);
}

bool WideToUtf8(const wchar_t* in, std::string& out) {
  out.clear();
  for (size_t i = 0; in[i] != L'\0'; ++i) {
    uint32_t cp = static_cast<uint32_t>(in[i]);
    if (kWide16) {
      cp &= 0xFFFF;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        const uint32_t lo = static_cast<uint32_t>(in[i + 1]) & 0xFFFF;
        if (lo < 0xDC00 || lo > 0xDFFF) return false;
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        return false;
      }
    }
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

}  // namespace plat
}  // namespace bv
