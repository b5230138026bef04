#pragma once
// Owning handles for C strings and arrays that the program's C-style interfaces hand out.

#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void *p) const noexcept { free(p); }
};

// A string returned by a function that says "newly allocated, freed by the caller".
using CString = std::unique_ptr<char, FreeDeleter>;

// Copies `text` with malloc (the program frees these with free); null stays null.
char *dup_cstring(const char *text);
