// The display rule of the client's answer at a terminal; see show_visibly.h.

// Where the C library says that wchar_t holds Unicode (__STDC_ISO_10646__):
// GCC includes it by itself, clang not for every target (musl).
#if __has_include(<stdc-predef.h>)
#include <stdc-predef.h>
#endif

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "show_visibly.h"

namespace {

// True when the character that the locale's decoder took from length bytes
// starting with lead may be shown as it is: one the locale does not class as
// a control, and never a one-byte 0x80 to 0x9F, which an 8-bit terminal obeys
// as a C1 control whatever the locale calls it (KOI8-R: box drawing).
bool is_text(wchar_t character, std::size_t length, unsigned char lead) {
    if ((length == 1 && lead <= 0x9f) || std::iswcntrl(static_cast<std::wint_t>(character)) != 0) {
        return false;
    }
#ifdef __STDC_ISO_10646__
    // Where wchar_t is Unicode, no character lies past U+10FFFF, which glibc's
    // UTF-8 decoder still takes, nor among the surrogates, which musl's C
    // locale makes of the bytes 0x80 to 0xFF.
    if (character > 0x10ffff || (character >= 0xd800 && character <= 0xdfff)) {
        return false;
    }
#endif
    return true;
}

}  // namespace

// Text goes as it is, a line end included, and every other byte visibly: C0
// controls and DEL in caret notation (^[, ^M, ^?), every other byte as \xHH.
// Obeyed, a stranger's control sequence could rewrite the screen, set the
// clipboard or make the terminal type into the user's input. From 0x80 up,
// text is what the locale's character set says: a character that is not text
// is masked whole, so that its last bytes cannot join the next ones into
// another; a byte that starts no character is masked alone, and decoding
// starts afresh after it.
std::size_t show_visibly(const char *answer, std::size_t length, char *shown) {
    constexpr char hex_digits[] = "0123456789abcdef";
    const auto *bytes = reinterpret_cast<const unsigned char *>(answer);
    std::size_t shown_length = 0;
    for (std::size_t i = 0; i < length;) {
        const unsigned char byte = bytes[i];
        // A carriage return before a line feed, or last, where the newline
        // printed after the answer follows it, only ends a line; anywhere else
        // it would let what follows overwrite what the user already sees.
        const bool line_end = byte == '\r' && (i + 1 == length || bytes[i + 1] == '\n');
        if ((byte >= ' ' && byte < 0x7f) || byte == '\t' || byte == '\n' || line_end) {
            shown[shown_length++] = static_cast<char>(byte);
            ++i;
            continue;
        }
        if (byte < 0x80) {
            shown[shown_length++] = '^';
            shown[shown_length++] = static_cast<char>(byte ^ 0x40U);
            ++i;
            continue;
        }
        wchar_t character = 0;
        std::mbstate_t state{};
        std::size_t unit = std::mbrtowc(&character, answer + i, length - i, &state);
        if (unit == static_cast<std::size_t>(-1) || unit == static_cast<std::size_t>(-2) ||
            unit == 0) {
            unit = 1;
        } else if (is_text(character, unit, byte)) {
            std::memcpy(shown + shown_length, bytes + i, unit);
            shown_length += unit;
            i += unit;
            continue;
        }
        for (const std::size_t end = i + unit; i < end; ++i) {
            shown[shown_length++] = '\\';
            shown[shown_length++] = 'x';
            shown[shown_length++] = hex_digits[bytes[i] >> 4U];
            shown[shown_length++] = hex_digits[bytes[i] & 0xfU];
        }
    }
    return shown_length;
}
