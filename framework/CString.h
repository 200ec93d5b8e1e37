#pragma once

#include <string>

// Text as the program keeps it: bytes of the local 8-bit encoding, the same on screen, on the
// wire and in file names. Conversion to QString happens only at the widget boundary.
using CString = std::string;
