#pragma once
#include <string>

// A text parameter of remote control, copied into `text` and lower-cased;
// `word` is MIN, MAX or DEF for "min"/"minimum", "max"/"maximum",
// "def"/"default", else 0 (a number text for the caller to parse).
// 0, or E150_STRING_DATA_ERROR for a text of 64 bytes or more.
int paramWord(const std::string& in, char (&text)[64], int& word);
