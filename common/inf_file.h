#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace common {

// What the device installer takes from a driver package's INF: its device
// class and the hardware ID of the first model it lists.
struct InfDevice {
    std::string className; // "Ports"
    std::string classGuid; // "{4D36E978-E325-11CE-BFC1-08002BE10318}"
    std::string hardwareId; // the first model's first hardware ID, "ZORV\Rure"
    std::vector<std::string> hardwareIds; // every hardware ID of every models section
};

enum class InfResult {
    Ok,
    NotAnInf, // no [Version] section with a Signature
    NoDevice, // no Manufacturer line, no models section or no model line
};

// Reads an INF text (ANSI or UTF-8, with or without a byte-order mark; comments
// after ';'; sections and keys compared without regard to case). The models
// section is the one the first Manufacturer line names, with its first
// decoration appended (".NTx86") when the line has one.
InfResult parseInf(std::string_view text, InfDevice& device);

} // namespace common
