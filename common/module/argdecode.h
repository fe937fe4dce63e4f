// Start arguments of a module: Key=Value items, and @file items naming a text file whose lines
// are items of the same form.
#pragma once

// Index in argv of the first item whose key starts with `key` (a prefix test), or -1. The value
// (everything after the first '=') is copied into buffer, cut at `length` characters and
// terminated; a value read from a file keeps its line end.
int GetArgumentStr(int argc, char** argv, const char* key, char* buffer, int length);
// Value as a decimal integer, or -1 when the key is absent.
int ValueArgumentDecode(int argc, char** argv, const char* key);
// First character of the value, or 0 when the key is absent.
char CharArgumentDecode(int argc, char** argv, const char* key);
// Frees the shared buffer used to read argument files.
void FreeArgDecode();
