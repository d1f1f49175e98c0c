#pragma once

// The voltmeter-complete output, on the GPIO control device. Stateless.
class CVMC {
public:
    virtual ~CVMC() = default;

    static CVMC* instance();

    // Drives the output active (true) or inactive.
    bool VMC_StateSet(bool on);
};
