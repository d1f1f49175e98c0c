#pragma once
#include <string>
#include <vector>

namespace platform {

// System properties by name, as getprop/setprop give them on the instrument.
// On a host build each property is the text of the file <root>/properties/<name>.
// An unset or unreadable property reads as the empty text; so does a store
// file that is no regular file or larger than a property can be, and then
// `refusal` (when given) says why it was left unread.
std::string propertyGet(const std::string& name, std::string* refusal = nullptr);

// Sets a property; false when the name is not a valid property name or the
// value cannot be stored.
bool propertySet(const std::string& name, const std::string& value);

// Property names are dotted words of letters, digits, '_' and '-'; anything else
// (a '/', "..", an empty name) is refused so that a name can never reach outside
// the property store.
bool propertyNameValid(const std::string& name);

// Removes the temporary files of property writes that never completed (a
// power cut between writing and renaming); returns their names. Called at
// start-up, before any property is read.
std::vector<std::string> propertyRemoveTemporaries();

} // namespace platform
