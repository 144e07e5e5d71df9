// Event identifiers: a random UUID as 36 upper-case characters.
#pragma once

// Writes a fresh identifier and a terminating zero into `destination` (37 bytes).
// Not for the crash path (it reads the random source); monitors make theirs at install.
void mdid_newEventID(char* destination);
