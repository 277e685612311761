// Simulated user32: wsprintfA/W and ExitWindowsEx.
#include <cstdarg>

#include "sim.h"

using namespace sim;

namespace {

// wsprintf writes at most 1024 characters and the terminator.
const size_t kWsprintfMax = 1024;

template <typename Ch> struct Out {
  Ch *buf;
  size_t n = 0;
  void put(uint32_t c)
  {
    if (n < kWsprintfMax)
      buf[n++] = (Ch)c;
  }
};

template <typename Ch> size_t Length(const Ch *s)
{
  size_t n = 0;
  while (s[n])
    n++;
  return n;
}

// The format engine shared by both forms. In the A form "%s" is a byte
// string and "%S" a wide one; the W form swaps them.
template <typename Ch> int Format(Ch *out, const Ch *fmt, va_list ap)
{
  Out<Ch> o{out};
  const bool wide = sizeof(Ch) == 2;
  for (const Ch *p = fmt; *p; p++) {
    if (*p != '%') {
      o.put((uint16_t)*p);
      continue;
    }
    p++;
    if (*p == '%') {
      o.put('%');
      continue;
    }
    bool left = false, zero = false, hash = false;
    for (;; p++) {
      if (*p == '-')
        left = true;
      else if (*p == '0')
        zero = true;
      else if (*p == '#')
        hash = true;
      else
        break;
    }
    size_t width = 0;
    while (*p >= '0' && *p <= '9')
      width = width * 10 + (size_t)(*p++ - '0');
    size_t precision = (size_t)-1;
    if (*p == '.') {
      p++;
      precision = 0;
      while (*p >= '0' && *p <= '9')
        precision = precision * 10 + (size_t)(*p++ - '0');
    }
    bool isLong = false, isShort = false, is64 = false, forceWide = false, forceNarrow = false;
    if (*p == 'l') {
      isLong = true;
      forceWide = true;
      p++;
    } else if (*p == 'h') {
      isShort = true;
      forceNarrow = true;
      p++;
    } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      is64 = true;
      p += 3;
    }
    (void)isLong;
    Ch conv = *p;
    if (!conv)
      break;
    std::vector<uint32_t> text;
    bool numeric = false, negative = false;
    switch (conv) {
    case 'c':
    case 'C': {
      int c = va_arg(ap, int);
      bool argWide = forceWide || (!forceNarrow && ((conv == 'C') != wide));
      text.push_back(argWide ? (uint16_t)c : (uint8_t)c);
      break;
    }
    case 's':
    case 'S': {
      bool argWide = forceWide || (!forceNarrow && ((conv == 'S') != wide));
      const void *arg = va_arg(ap, const void *);
      std::string u8;
      if (!arg)
        u8 = "(null)";
      else if (argWide)
        u8 = Utf16ToUtf8((const WCHAR *)arg);
      else
        u8 = AnsiToUtf8((const char *)arg);
      if (wide) {
        for (char16_t c : Utf8ToUtf16(u8))
          text.push_back(c);
      } else {
        for (char c : Utf8ToAnsi(u8))
          text.push_back((uint8_t)c);
      }
      if (precision != (size_t)-1 && text.size() > precision)
        text.resize(precision);
      break;
    }
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X': {
      numeric = true;
      unsigned long long v;
      if (is64)
        v = va_arg(ap, unsigned long long);
      else
        v = va_arg(ap, unsigned int);
      if (isShort)
        v &= 0xFFFF;
      if (conv == 'd' || conv == 'i') {
        long long sv = is64 ? (long long)v : isShort ? (long long)(short)v : (long long)(int)(unsigned)v;
        if (sv < 0) {
          negative = true;
          v = (unsigned long long)(-sv);
        } else {
          v = (unsigned long long)sv;
        }
      }
      unsigned base = (conv == 'x' || conv == 'X') ? 16 : 10;
      const char *digits = conv == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
      std::vector<uint32_t> rev;
      do {
        rev.push_back((uint8_t)digits[v % base]);
        v /= base;
      } while (v);
      if (precision != (size_t)-1)
        while (rev.size() < precision)
          rev.push_back('0');
      if (hash && base == 16) {
        rev.push_back(conv == 'X' ? 'X' : 'x');
        rev.push_back('0');
      }
      text.assign(rev.rbegin(), rev.rend());
      break;
    }
    default:
      // Unknown conversions are copied as they stand.
      text.push_back((uint16_t)conv);
      break;
    }
    size_t len = text.size() + (negative ? 1 : 0);
    size_t pad = width > len ? width - len : 0;
    if (!left && !(zero && numeric))
      for (size_t i = 0; i < pad; i++)
        o.put(' ');
    if (negative)
      o.put('-');
    if (!left && zero && numeric)
      for (size_t i = 0; i < pad; i++)
        o.put('0');
    for (uint32_t c : text)
      o.put(c);
    if (left)
      for (size_t i = 0; i < pad; i++)
        o.put(' ');
  }
  out[o.n] = 0;
  return (int)o.n;
}

}  // namespace

extern "C" {

int wsprintfA(LPSTR out, LPCSTR format, ...)
{
  Enter("wsprintfA", nullptr);
  va_list ap;
  va_start(ap, format);
  int n = Format<char>(out, format, ap);
  va_end(ap);
  return n;
}

int wsprintfW(LPWSTR out, LPCWSTR format, ...)
{
  Enter("wsprintfW", nullptr);
  va_list ap;
  va_start(ap, format);
  int n = Format<WCHAR>(out, format, ap);
  va_end(ap);
  return n;
}

BOOL ExitWindowsEx(UINT flags, DWORD reason)
{
  DWORD err = 0;
  bool injected = Enter("ExitWindowsEx", &err);
  Machine &m = M();
  bool ok = !injected && !m.rebootFails;
  if (ok && !m.enabledPrivileges.count("SeShutdownPrivilege")) {
    ok = false;
    err = ERROR_PRIVILEGE_NOT_HELD;
  } else if (!ok && !injected) {
    err = ERROR_SHUTDOWN_IN_PROGRESS;
  }
  m.reboots.push_back(RebootRequest{flags, reason, ok});
  if (!ok) {
    m.lastError = err;
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
