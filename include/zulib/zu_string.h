// Bounded copy and append, ASCII case folding, and tokenisers driven by a 256-entry table
// of the bytes that make up tokens (non-zero) and those that separate them (zero).
#pragma once

#include <stddef.h>

// Copies at most size - 1 characters, terminated (nothing when size is 0); strlen(src).
size_t zu_strlcpy(char* dst, const char* src, size_t size);
// Appends within size bytes in all, terminated; min(size, strlen(dst)) + strlen(src).
size_t zu_strlcat(char* dst, const char* src, size_t size);
// Fold ASCII A-Z to a-z in place / while copying; 1, or 0 for a null argument.
int zu_strtolower(char* s);
int zu_tolower(int c);
int zu_strcpy_lower(char* dst, const char* src);
// 0 when the first n characters match ignoring ASCII case, else n minus the index of the
// first difference.
int zu_strncasecmp_n(const char* a, const char* b, int n);
// Skips separators, copies the next token into token, skips the separators after it and
// returns where it stopped (the terminator at the end of the text).
const char* zu_sgettoken(const char* src, char* token, const char table[256]);
// As zu_sgettoken; a GB2312 double-byte character is never skipped, and a token starting
// with a byte of 128 or more is that one double-byte character.
const char* zu_sgettoken_gb(const char* src, char* token, const char table[256]);
