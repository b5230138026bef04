#pragma once
// Opening the program's own files (settings, books, log, access list) safely.

#include <cstdio>

// Opens `path` as fopen(path, mode) would, but only when it is a regular file (modes that create
// may make a new one). A FIFO, device or directory is refused without waiting for a peer: null,
// with errno EINVAL (EISDIR for a directory, ENXIO for a FIFO opened to write). The settings,
// books, log and access files are all opened through it, so that a FIFO put in their place
// cannot hang the program.
FILE *platform_fopen_regular(const char *path, const char *mode);
