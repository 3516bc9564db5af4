// Host kernel io: captured debug output (DbgPrint, DbgPrintEx), the Rtl counted-string routines
// and the module's string helpers.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "hk_io_internal.h"

namespace hk {
namespace io {
namespace {

struct DebugLog {
    std::string text;
    bool echo = false;
};
DebugLog& Log() {
    static DebugLog* log = new DebugLog;
    return *log;
}

void Capture(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string line;
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        line.assign(small, static_cast<size_t>(n));
    } else {
        line.resize(static_cast<size_t>(n) + 1);
        vsnprintf(&line[0], line.size(), format, args);
        line.resize(static_cast<size_t>(n));
    }
    DebugLog& log = Log();
    log.text += line;
    if (log.echo) fputs(line.c_str(), stderr);
}

WCHAR Upcase(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c; }

}  // namespace

void DebugBoot() {
    DebugLog& log = Log();
    log.text.clear();
    const char* echo = getenv("KX_DBGPRINT");
    log.echo = echo != nullptr && strcmp(echo, "1") == 0;
}

std::string Narrow(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char16_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string Narrow(PCUNICODE_STRING text) {
    if (text == nullptr || text->Buffer == nullptr) return std::string();
    return Narrow(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string Widen(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out.push_back(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) {
            out.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F)));
            i += 2;
        } else if ((c & 0xF0) == 0xE0 && i + 2 < text.size()) {
            out.push_back(static_cast<char16_t>(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) |
                                                (text[i + 2] & 0x3F)));
            i += 3;
        } else {
            out.push_back(u'?');
            i += 1;
        }
    }
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

PWCHAR PoolString(const std::u16string& text, ULONG tag) {
    PWCHAR buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (text.size() + 1) * sizeof(WCHAR), tag));
    if (buffer == nullptr) return nullptr;
    memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return buffer;
}

}  // namespace io

namespace dbg {
std::string Text() { return io::Log().text; }
std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    const std::string& text = io::Log().text;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
bool Contains(const std::string& text) { return io::Log().text.find(text) != std::string::npos; }
void Clear() { io::Log().text.clear(); }
}  // namespace dbg
}  // namespace hk

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    hk::io::Capture(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    (void)ComponentId;
    (void)Level;
    va_list args;
    va_start(args, Format);
    hk::io::Capture(Format, args);
    va_end(args);
    return STATUS_SUCCESS;
}

void RtlInitUnicodeString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        Destination->Length = 0;
        Destination->MaximumLength = 0;
        Destination->Buffer = nullptr;
        return;
    }
    size_t n = 0;
    while (Source[n] != 0) ++n;
    if (n > 0x7FFE) n = 0x7FFE;
    Destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    Destination->MaximumLength = static_cast<USHORT>(Destination->Length + sizeof(WCHAR));
    Destination->Buffer = const_cast<PWSTR>(Source);
}

void RtlCopyUnicodeString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Buffer == nullptr) {
        Destination->Length = 0;
        return;
    }
    USHORT length = Source->Length < Destination->MaximumLength ? Source->Length : Destination->MaximumLength;
    memmove(Destination->Buffer, Source->Buffer, length);
    Destination->Length = length;
    if (length + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[length / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    ULONG total = static_cast<ULONG>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN CaseInSensitive) {
    if (a->Length != b->Length) return FALSE;
    for (USHORT i = 0; i < a->Length / sizeof(WCHAR); ++i) {
        WCHAR x = a->Buffer[i];
        WCHAR y = b->Buffer[i];
        if (CaseInSensitive) {
            x = hk::io::Upcase(x);
            y = hk::io::Upcase(y);
        }
        if (x != y) return FALSE;
    }
    return TRUE;
}

}  // extern "C"
