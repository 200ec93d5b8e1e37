#pragma once

#include <string>

// Text as the program keeps it: Unicode, as UTF-8. Where it meets the wire it is converted (see
// net/WireText.h); file names are the file system's bytes, UTF-8 on every current system.
using CString = std::string;
