// Stepping through ANSI text by characters, in the machine's code page:
// in a double-byte code page a lead byte and the byte after it are one
// character, and that second byte may be 0x5C, the backslash's.
#include "host/host.h"
#include "sim/codepage.h"
#include "sim/runtime.h"
#include "sim/slots.h"

namespace {

// The character after the one at `p`, as Windows' CharNextA steps: a lead
// byte takes the byte after it along, unless that is the terminating NUL.
const char* Next(uint32_t codepage, const char* p) {
    if (!*p) return p;
    if (sim::IsLeadByte(codepage, static_cast<unsigned char>(*p)) && p[1]) return p + 2;
    return p + 1;
}

}  // namespace

using sim::Call;
using sim::Emitted;

namespace sim::impl {

LPSTR CharPrevA(LPCSTR start, LPCSTR current) {
    sim::Runtime& rt = sim::Current();
    sim::CallFails(Call::CharPrevA);  // counted; the table allows it no faults
    // The characters are counted from the start: only there is it known
    // which bytes lead.
    const char* p = start;
    while (p && *p && p < current) {
        const char* next = Next(rt.m.codepage, p);
        if (next >= current) break;
        p = next;
    }
    sim::Event e = sim::CallEvent(Call::CharPrevA);
    if (start && current >= start)
        e.Str("args.text", std::string(start, current)).Num("result", p - start);
    else
        e.Str("args.start", sim::PointerText(start)).Str("args.current", sim::PointerText(current));
    return Emitted(e, const_cast<LPSTR>(p));
}

// The text in the machine's ANSI code page (CP_ACP, the only one the
// programs ask for) as UTF-16, as Windows converts it: a character of two
// bytes where a lead byte is followed by a trail byte that pairs with it.
// With MB_ERR_INVALID_CHARS, bytes that stand for no character fail the
// call with ERROR_NO_UNICODE_TRANSLATION.
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR text, int size, LPWSTR wide,
                        int wideSize) {
    sim::Runtime& rt = sim::Current();
    sim::Event e = sim::CallEvent(Call::MultiByteToWideChar);
    e.Num("args.codepage", codepage).Num("args.flags", flags);
    auto fail = [&](uint32_t error) { return sim::Failed(e.Num("result", 0), error, 0); };
    if (sim::CallFails(Call::MultiByteToWideChar)) return fail(rt.last_error);
    if (!text || size < -1 || wideSize < 0 || (wideSize && !wide) || codepage != CP_ACP)
        return fail(ERROR_INVALID_PARAMETER);
    std::string bytes = size < 0 ? std::string(text, strlen(text) + 1) : std::string(text, size);
    e.Str("args.text", bytes).Num("args.wide_size", wideSize);
    std::u16string out;
    if (!sim::ToUtf16(bytes, rt.m.codepage, (flags & MB_ERR_INVALID_CHARS) != 0, &out))
        return fail(ERROR_NO_UNICODE_TRANSLATION);
    if (wideSize) {
        if (out.size() > static_cast<size_t>(wideSize)) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::copy(out.begin(), out.end(), wide);
    }
    return Emitted(e.Num("result", static_cast<int64_t>(out.size())), static_cast<int>(out.size()));
}

// UTF-16 text as bytes of the machine's ANSI code page (CP_ACP), as Windows
// converts it: a character the code page has no code for becomes the default
// character ('?', or the one given), and *usedDefault says so.
int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR wide, int wideSize, LPSTR text,
                        int size, LPCSTR defaultChar, PBOOL usedDefault) {
    sim::Runtime& rt = sim::Current();
    sim::Event e = sim::CallEvent(Call::WideCharToMultiByte);
    e.Num("args.codepage", codepage).Num("args.flags", flags);
    auto fail = [&](uint32_t error) { return sim::Failed(e.Num("result", 0), error, 0); };
    if (sim::CallFails(Call::WideCharToMultiByte)) return fail(rt.last_error);
    if (!wide || wideSize < -1 || size < 0 || (size && !text) || codepage != CP_ACP)
        return fail(ERROR_INVALID_PARAMETER);
    size_t count = 0;
    if (wideSize < 0)
        while (wide[count++]) {
        }
    else
        count = static_cast<size_t>(wideSize);
    std::u16string chars(wide, wide + count);
    e.Num("args.wide_size", static_cast<int64_t>(count)).Num("args.size", size);
    bool defaulted = false;
    std::string out =
        sim::FromUtf16(chars, rt.m.codepage, defaultChar ? *defaultChar : '?', &defaulted);
    if (usedDefault) *usedDefault = defaulted ? TRUE : FALSE;
    if (size) {
        if (out.size() > static_cast<size_t>(size)) return fail(ERROR_INSUFFICIENT_BUFFER);
        memcpy(text, out.data(), out.size());
    }
    e.Str("text", out)
        .Flag("used_default", defaulted)
        .Num("result", static_cast<int64_t>(out.size()));
    return Emitted(e, static_cast<int>(out.size()));
}

}  // namespace sim::impl
