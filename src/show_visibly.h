// What a terminal may be shown of a server's answer: the one place where the
// client parses a stranger's bytes, in a file of its own so that a fuzz
// target can call it without starting the program.
#pragma once

#include <cstddef>

// The answer has always been taken in one receive of at most 255 bytes, and
// callers may rely on that bound.
constexpr std::size_t answer_limit = 255;
// A byte shown visibly takes at most four: \xHH.
constexpr std::size_t shown_limit = answer_limit * 4;

// Writes into shown, which has room for shown_limit bytes, what a terminal may
// be given of the length bytes of answer (at most answer_limit), as text in
// the character set of the locale that the caller set; returns its length.
std::size_t show_visibly(const char *answer, std::size_t length, char *shown);
