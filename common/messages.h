// The message table and the message boxes: five texts, read from
// MultiLang\<locale>.dat under the starting directory when that file exists,
// the built-in English otherwise, shown in boxes titled with the caption.
// Both installation flows and the entry point show their boxes through here.
#ifndef VNTR_MESSAGES_H
#define VNTR_MESSAGES_H

#include "host/host.h"

// Message indexes into the message table.
#define MSG_FAILED 0
#define MSG_NO_CONTROLLER 1
#define MSG_SUCCESS 2
#define MSG_SUCCESS_REBOOT 3
#define MSG_CONFIRM 4
#define MESSAGE_COUNT 5

// Loads the caption, the title of every box, from the string resource
// IDS_CAPTION of `instance`. A missing resource leaves it empty; a longer
// one is cut to 99 characters.
void LoadCaption(HINSTANCE instance);

// Fills the table from the message file, or with the built-in English.
void LoadMessages(void);
// The text of a message; NULL when the message file had no line for it.
const char* MessageText(int index);
// Frees what LoadMessages allocated.
void ReleaseMessages(void);

// Shows a message box with no owner and the caption as title.
int ShowBox(const char* text, UINT type);

#endif  // VNTR_MESSAGES_H
