#pragma once

// What assistive technology is told beyond Qt's own descriptions: the windows that peers open are
// alerts, and a drop-down list that has an accessible name keeps it. Installed once, before the
// first window is made.
void InstallAccessibleRoles();
