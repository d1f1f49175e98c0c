// What the program-message parser needs of the parameter converter of the
// command engine. The converter keeps a working copy of the active command
// set's enumeration map; the parser asks it to switch maps whenever it
// switches trees, under the same lock, so that a command is never walked in
// one set and converted with the keywords of another.
#pragma once

class ScpiExecuteIntf {
public:
    virtual ~ScpiExecuteIntf() = default;

    // Makes the enumeration map of command set `set` (0, 1 or 2) the working
    // copy; any other value is refused with a non-zero result.
    virtual int ApiScpi_SelectEnumMap(int set) = 0;
};
