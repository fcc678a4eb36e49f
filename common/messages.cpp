// The message table: five texts, read from MultiLang\<locale>.dat under the
// starting directory when that file exists, the built-in English otherwise;
// and the boxes that show them under the caption.
#include "common/messages.h"

#include "common/paths.h"
#include "common/product.h"
#include "res/ids.h"

static const char* const kBuiltIn[MESSAGE_COUNT] = {
    "System Error or copy inf file failed!",
    "No generic Vantor Cardbus controllers found!",
    "Installation successful!",
    "Installation successful! Do you want to reboot the system?",
    "Do you want to update Vantor Cardbus controllers?",
};

// The title of every box.
static char g_caption[100];

static const char* g_messages[MESSAGE_COUNT];
static BOOL g_owned;  // entries were allocated from a message file

void LoadCaption(HINSTANCE instance) {
    LoadStringA(instance, IDS_CAPTION, g_caption, sizeof g_caption);
}

int ShowBox(const char* text, UINT type) { return MessageBoxA(NULL, text, g_caption, type); }

static void UseBuiltIn(void) {
    for (int i = 0; i < MESSAGE_COUNT; ++i) g_messages[i] = kBuiltIn[i];
    g_owned = FALSE;
}

static void FreeEntries(void) {
    for (int i = 0; i < MESSAGE_COUNT; ++i) {
        if (g_messages[i]) LocalFree((HLOCAL)g_messages[i]);
        g_messages[i] = NULL;
    }
}

// Forms <starting directory>\MultiLang\<lcid as %04x>.dat, asking for the
// locale first and the directory second. Fails when the directory cannot be
// had or the whole path would not fit.
static BOOL MessageFilePath(char* path) {
    char name[32];
    sprintf(name, MESSAGE_FILE_FORMAT, (unsigned)GetSystemDefaultLCID());
    if (!GetStartingDirectory(path)) return FALSE;
    return JoinPath(path, path, name);
}

void LoadMessages(void) {
    char path[PATH_BUFFER];
    FILE* file = MessageFilePath(path) ? fopen(path, "rt") : NULL;
    if (!file) {
        UseBuiltIn();
        return;
    }

    // Each read takes at most 255 bytes and keeps the line end, so a long
    // line fills several entries. Entries the file does not reach stay absent.
    char line[PATH_BUFFER];
    for (int i = 0; i < MESSAGE_COUNT; ++i) g_messages[i] = NULL;
    g_owned = TRUE;
    for (int i = 0; i < MESSAGE_COUNT && fgets(line, sizeof line, file); ++i) {
        size_t length = strlen(line);  // a NUL in the line ends the copy
        char* copy = (char*)LocalAlloc(LMEM_FIXED, length + 1);
        if (!copy) {
            // Never show a half-filled table: fall back to English whole.
            FreeEntries();
            UseBuiltIn();
            break;
        }
        memcpy(copy, line, length + 1);
        g_messages[i] = copy;
    }
    fclose(file);
}

const char* MessageText(int index) { return g_messages[index]; }

void ReleaseMessages(void) {
    if (g_owned) FreeEntries();
    g_owned = FALSE;
}
