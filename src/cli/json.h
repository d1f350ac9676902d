// Just enough JSON for the command line's stable output.
#pragma once

#include <string>

// The text as a JSON string literal, quotes included. The text is UTF-8;
// bytes that are not valid UTF-8 become U+FFFD.
std::string JsonString(const std::string& utf8);
