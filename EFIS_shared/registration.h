#ifndef EFIS_SHARED_REGISTRATION_H
#define EFIS_SHARED_REGISTRATION_H

// The aircraft registration as the unit stores it and the window shows it:
// one rule for every program that sends one. The window shows a stored
// registration as a nationality prefix from REGISTRATION_PREFIXES and the
// rest, and writes back prefix + rest; only a registration that survives
// that round unchanged, in characters the unit displays, is accepted.

#include <cstddef>

#define NUM_REGISTRATION_PREFIXES 193
extern const char* const REGISTRATION_PREFIXES[NUM_REGISTRATION_PREFIXES];

// The record's registration field holds 11 characters and a terminating NUL.
#define REGISTRATION_MAX_CHARS 11

enum registration_check_t {
    REGISTRATION_OK = 0,
    REGISTRATION_LOWER_CASE,      // a letter a-z
    REGISTRATION_BAD_CHARACTER,   // anything but A-Z, 0-9 and '-'
    REGISTRATION_TOO_LONG,        // more than 11 characters
    REGISTRATION_NO_PREFIX,       // begins with no prefix of the table
    REGISTRATION_ONLY_PREFIX,     // nothing after its prefix: the window would show it empty
};

// Index of the first table entry that the `len` bytes of `text` begin
// with, in table order as the window looks for it (the first match, not
// the longest); -1 when none does.
int registration_prefix_index(const char* text, size_t len);

// Checks a registration given as `len` UTF-8 bytes (a NUL among them is a
// bad character). The empty text is accepted: it clears the registration.
registration_check_t registration_check(const char* text, size_t len);

// Why a registration was refused, for the user: "lower-case letters - ...".
const char* registration_check_text(registration_check_t result);

#endif
