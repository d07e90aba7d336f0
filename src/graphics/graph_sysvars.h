// The system variables that show the graphics state: !P, !X, !Y, !Z, !D, !MAP, !MOUSE
// and the compatibility names computed from them. Relies on the system-variable table
// (lib/sysvars.h) and the graphics state records.
#pragma once

// Enters them; run once at start-up, after the table exists. Later calls do nothing.
void register_graphics_sysvars();
