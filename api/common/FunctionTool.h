#pragma once
#include <string>
#include <vector>

// Text helpers for file paths, LAN settings and field lists. Holds no state;
// the operations are static so that both an object and the class reach them.
class FunctionTool {
public:
    // Encloses `s` in double quotes, nothing else: the quoted text answers of
    // the LAN queries. Never a way to pass text to a shell; commands take
    // their arguments as an argument vector.
    static void quotationWrap(std::string& s);
    // Removes a double quote at both ends (true); otherwise leaves `s` (false).
    static bool quotationUnwrap(std::string& s);
    // Appends the fields of `s` between delimiters, as line reading with that
    // delimiter yields them: empty fields inside are kept, a delimiter at the
    // end adds no empty field, an empty `s` adds none. `fields` is not cleared.
    static void stringSplit(std::string s, char delimiter, std::vector<std::string>& fields);
    // True for four "."-separated decimal numbers of 0 to 255.
    static bool IPArgumentVerify(const std::string& address);
    // Appends `extension` unless its first occurrence in the file's own name
    // (the text after the last "/") ends the name.
    static void fileExtensionComplete(std::string& name, const std::string& extension);
};
