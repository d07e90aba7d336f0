// String descriptors: storing, duplicating, freeing, resizing and comparing StringDescs
// (single ones or runs of n), the STRING temporary constructor, and the character-case
// helpers. Relies on the counting allocator (temps.h) and reports failures through
// message().
#pragma once

#include <cstdint>

#include "values/variable.h"

// Largest number of characters a StringDesc can hold.
constexpr uint32_t MAX_STRING_LENGTH = 65535;

// Makes desc an owned copy of text (the old contents are not freed: desc is assumed
// empty or not owning). Empty text gives the empty string.
void str_store(StringDesc* desc, const char* text);
// As str_store with an explicit length (the text need not be NUL-terminated).
void str_store_n(StringDesc* desc, const char* text, uint32_t length);
// Gives every owned, non-empty descriptor of the n a private copy of its characters.
// On failure the descriptors from the failing one on are left empty (so that none of
// them still shares characters with the originals) and -96 unwinds.
void dup_str(StringDesc* desc, uint32_t n);
// As dup_str, but a failed allocation is reported as information and leaves just that
// descriptor empty. context may be null.
void dup_str_nojmp(StringDesc* desc, uint32_t n, const char* context);
// Frees every owned, non-empty string of the n and leaves all of them empty.
void del_str(StringDesc* desc, uint32_t n);
// Makes desc an owned buffer for n characters (length n, NUL at n); the characters are
// the caller's to fill. n 0 gives the empty string.
void str_ensure_length(StringDesc* desc, uint32_t n);
// Byte-wise comparison; an empty string compares as the text of no characters.
int STRING_strcmp(const StringDesc* a, const StringDesc* b);
// A dynamic STRING temporary holding a copy of text.
Variable* ret_str_as_STRING(const char* text);
// True for a STRING value, and for a structure with a string anywhere in its tags.
bool contains_STRING(const Variable* var);

// Copies NUL-terminated text with the letters' case changed; to may equal from.
void up_case(char* to, const char* from);
void down_case(char* to, const char* from);
// First letter raised, the rest lowered.
void captialize(char* to, const char* from);

inline char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// The characters of a descriptor as a C string ("" for the empty string).
inline const char* str_chars(const StringDesc& s) { return s.length ? s.chars : ""; }
