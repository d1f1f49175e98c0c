#pragma once

// The front-panel beeper, driven through the GPIO control device (which the
// start-up connects before anything sounds). Keeps no state of its own: the
// device holds it. Reached through instance(); system settings reach an equally
// stateless second object through Copperwren::Singleton<CBeeper>.
class CBeeper {
public:
    virtual ~CBeeper() = default;

    static CBeeper* instance();

    // Enables (true) or disables the beeper.
    bool Beeper_StateSet(bool on);
    // True only when the device reports the beeper enabled (exactly 1); false
    // also when the state cannot be read.
    bool Beeper_StateGet();
    // Switches the continuity and limit sound on or off.
    bool Beeper_Switch(bool on);
    // Sounds one beep; true when the device took the command.
    bool Beeper_Test();
};
