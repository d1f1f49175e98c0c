#pragma once
// Text placed in a SCPI response.
//
// A response ends at its line feed, so no reply text may carry one: every
// control character (bytes 0x00 to 0x1F and 0x7F) is shown as "?", which no
// name of the instrument's own making holds. Bytes from 0x80 on (UTF-8 names)
// pass unchanged. Inside string data an embedded double quote is doubled, so
// that the client finds where the string ends.

#include <string>

// `text` with its control characters shown as "?".
std::string ScpiReplySafeText(const std::string& text);

// `text` as SCPI string data: in double quotes, each embedded double quote
// doubled, control characters shown as "?".
std::string ScpiQuotedString(const std::string& text);
