// Texts of the program's string resources, shared by the resource script and
// by the simulated machine, which serves them to LoadStringA.
#ifndef VNTR_STRINGS_H
#define VNTR_STRINGS_H

#define CAPTION_TEXT "Vantor CardBus Controller Setup Utility"

#endif
