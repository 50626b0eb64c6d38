#pragma once

// Identifiers of the program's resources (quorvel.rc). The main icon has the
// lowest identifier, so the shell takes it as the program's icon.
#define IDI_QUORVEL 1
