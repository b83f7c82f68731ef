// A libFuzzer target for the display rule, and a pass over every answer of
// one to three bytes. scripts/fuzz builds and runs both.
//
//     LOCPATH=build/locales show_visibly_fuzz [LIBFUZZER OPTION...] [CORPUS...]
//     LOCPATH=build/locales show_visibly_fuzz -every_short_answer=1
//
// An input's first byte, modulo 6, picks the locale from locale_names; the
// rest, cut to the answer's bound, is the answer. What the rule returns is
// checked by decoding it with that locale's own decoder, never by asking the
// rule: it must be text, every text character of the answer must be in it in
// order, and an answer that is all text must come out unchanged. A finding
// aborts with the locale, the answer and what was shown, in hex.

// Where the C library says that wchar_t holds Unicode (__STDC_ISO_10646__).
#if __has_include(<stdc-predef.h>)
#include <stdc-predef.h>
#endif

#include <locale.h>
// Where POSIX's newlocale and uselocale are not in <locale.h> alone (macOS).
#if __has_include(<xlocale.h>)
#include <xlocale.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
#include <string_view>

#include "../src/show_visibly.h"

namespace {

// A locale that this machine lacks is left out, and an input that picks it
// is skipped, so that a finding picks the same locale on every machine.
constexpr const char *locale_names[] = {
    "C", "C.UTF-8", "en_US.ISO-8859-1", "ru_RU.KOI8-R", "ja_JP.EUC-JP", "zh_CN.GB18030"};
constexpr std::size_t locale_count = std::size(locale_names);

// Made once: setlocale for each input would be too slow.
locale_t made_locales[locale_count];

struct Unit {
    std::size_t length;
    bool text;
};

// The unit at the start of the length bytes of text in the current locale:
// a character that a terminal may be shown (TAB, LF and a CR before an LF
// or last are the only controls it may), or, for anything else, the bytes
// that the rule must mask together.
Unit unit_at(const unsigned char *text, std::size_t length) {
    wchar_t character = 0;
    std::mbstate_t state{};
    const std::size_t decoded =
        std::mbrtowc(&character, reinterpret_cast<const char *>(text), length, &state);
    if (decoded == static_cast<std::size_t>(-1) || decoded == static_cast<std::size_t>(-2)) {
        return {1, false};
    }
    const std::size_t unit = decoded == 0 ? 1 : decoded;
    if (character == L'\t' || character == L'\n') {
        return {unit, true};
    }
    if (character == L'\r') {
        return {unit, length == 1 || text[1] == '\n'};
    }
    // A one-byte 0x80 to 0x9F is a C1 control to an 8-bit terminal,
    // whatever the locale calls it.
    bool text_character = std::iswcntrl(static_cast<std::wint_t>(character)) == 0 &&
                          !(unit == 1 && text[0] >= 0x80 && text[0] <= 0x9f);
#ifdef __STDC_ISO_10646__
    // glibc's UTF-8 decoder takes values past U+10FFFF.
    text_character =
        text_character && character <= 0x10ffff && (character < 0xd800 || character > 0xdfff);
#endif
    return {unit, text_character};
}

void print_hex(const char *name, const unsigned char *bytes, std::size_t length) {
    (void)std::fprintf(stderr, "%s (%zu bytes):", name, length);
    for (std::size_t i = 0; i < length; ++i) {
        (void)std::fprintf(stderr, " %02x", bytes[i]);
    }
    (void)std::fputc('\n', stderr);
}

[[noreturn]] void finding(const char *what, std::size_t locale_index, const unsigned char *answer,
                          std::size_t length, const unsigned char *shown,
                          std::size_t shown_length) {
    (void)std::fprintf(stderr, "show_visibly in %s: %s\n", locale_names[locale_index], what);
    print_hex("answer", answer, length);
    print_hex("shown", shown, shown_length < shown_limit ? shown_length : shown_limit);
    std::abort();
}

// Shows the answer in the current locale, locale_index's, and checks what
// comes out.
void check(std::size_t locale_index, const unsigned char *answer, std::size_t length) {
    // Exactly the rule's bound, so that AddressSanitizer sees a byte past it.
    char shown_buffer[shown_limit];
    const std::size_t shown_length =
        show_visibly(reinterpret_cast<const char *>(answer), length, shown_buffer);
    const auto *shown = reinterpret_cast<const unsigned char *>(shown_buffer);
    const auto fail = [&](const char *what) {
        finding(what, locale_index, answer, length, shown, shown_length);
    };
    if (shown_length > 4 * length) {
        fail("more than four bytes shown for a byte of the answer");
    }
    // Every unit shown must be text, and each text character of the answer,
    // in order, one of them.
    std::size_t next = 0;
    const auto next_shown = [&] {
        const Unit unit = unit_at(shown + next, shown_length - next);
        if (!unit.text) {
            fail("what is shown is not text");
        }
        const std::string_view got(shown_buffer + next, unit.length);
        next += unit.length;
        return got;
    };
    bool all_text = true;
    for (std::size_t i = 0; i < length;) {
        const Unit unit = unit_at(answer + i, length - i);
        all_text = all_text && unit.text;
        if (unit.text) {
            const std::string_view wanted(reinterpret_cast<const char *>(answer + i), unit.length);
            do {
                if (next == shown_length) {
                    fail("a text character of the answer is not shown as it is");
                }
            } while (next_shown() != wanted);
        }
        i += unit.length;
    }
    while (next < shown_length) {
        (void)next_shown();
    }
    if (all_text && (shown_length != length || std::memcmp(shown, answer, length) != 0)) {
        fail("an answer that is all text is not shown unchanged");
    }
}

// Every answer of one to three bytes in each locale that this machine has:
// 16.8 million each.
void check_every_short_answer() {
    for (std::size_t locale_index = 0; locale_index < locale_count; ++locale_index) {
        if (made_locales[locale_index] == nullptr) {
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        (void)uselocale(made_locales[locale_index]);
        unsigned char answer[3];
        for (std::size_t length = 1; length <= 3; ++length) {
            for (std::uint32_t value = 0; value < (std::uint32_t{1} << (8 * length)); ++value) {
                for (std::size_t i = 0; i < length; ++i) {
                    answer[i] = static_cast<unsigned char>(value >> (8 * i));
                }
                check(locale_index, answer, length);
            }
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        (void)std::printf("every answer of 1 to 3 bytes in %s: shown safely (%.1f s)\n",
                          locale_names[locale_index], took.count());
    }
}

}  // namespace

// Read by LeakSanitizer, whose name it is: glibc's newlocale keeps the list
// that it makes of LOCPATH, once for each locale.
extern "C" const char *__lsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
    return "leak:argz_add_sep\n";
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) {
    for (std::size_t i = 0; i < locale_count; ++i) {
        made_locales[i] = newlocale(LC_CTYPE_MASK, locale_names[i], nullptr);
        if (made_locales[i] == nullptr) {
            (void)std::fprintf(
                stderr, "show_visibly_fuzz: no locale %s here: inputs that pick it are skipped\n",
                locale_names[i]);
        }
    }
    // The second entry point, before libFuzzer reads its options.
    for (int i = 1; i < *argc; ++i) {
        if (std::strcmp((*argv)[i], "-every_short_answer=1") == 0) {
            check_every_short_answer();
            std::exit(EXIT_SUCCESS);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::size_t locale_index = size == 0 ? 0 : data[0] % locale_count;
    if (size == 0 || made_locales[locale_index] == nullptr) {
        return 0;
    }
    (void)uselocale(made_locales[locale_index]);
    // Not copied: AddressSanitizer sees a read past the input's end.
    const std::size_t length = size - 1 < answer_limit ? size - 1 : answer_limit;
    check(locale_index, data + 1, length);
    return 0;
}
