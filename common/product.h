// What the program is for: the two controller models it looks for, the
// Windows 98 family builds it has a package for, and the files of that
// package. setup.exe, vntrcapture and the simulator all take them from here.
#ifndef VNTR_PRODUCT_H
#define VNTR_PRODUCT_H

// The controllers: PCI vendor C4B9, devices 8E3A (the first model, looked
// for first) and 8E51.
#define VENDOR_ID "C4B9"
#define FIRST_MODEL "8E3A"
#define SECOND_MODEL "8E51"

// A model's device-key name under Enum\PCI on the 9x family, which a
// controller's key begins with: "VEN_C4B9&DEV_8E3A".
#define CONTROLLER_KEY(model) "VEN_" VENDOR_ID "&DEV_" model
// A model's hardware identifier on NT, which a controller's identifier
// begins with: "PCI\VEN_C4B9&DEV_8E3A".
#define CONTROLLER_ID(model) "PCI\\" CONTROLLER_KEY(model)
// Their lengths, the same for both models.
#define CONTROLLER_KEY_LENGTH (sizeof CONTROLLER_KEY(FIRST_MODEL) - 1)
#define CONTROLLER_ID_LENGTH (sizeof CONTROLLER_ID(FIRST_MODEL) - 1)

// The builds of the 9x family (the low word of dwBuildNumber) the package
// has files for.
#define BUILD_98 1998
#define BUILD_98SE 2222
#define BUILD_ME 3000

// The files of the driver package, each with the backslash that joins it
// to a directory.
#define INF_98 "\\VNTR98.INF"
#define INF_98SE "\\VNTR98SE.INF"
#define CATALOG_98SE "\\VNTR98SE.CAT"
#define INF_ME "\\VNTRME.INF"
#define CATALOG_ME "\\VNTRME.CAT"
#define INF_2000 "\\VNTR2K.INF"
#define INF_XP "\\VNTRXP.INF"

// Windows ME keeps third-party INF files in this folder below its INF
// directory.
#define INF_DIR "\\INF"
#define OTHER_DIR "\\OTHER"

// The message file below the starting directory, by the system default
// locale: "\MultiLang\0407.dat".
#define MESSAGE_FOLDER "MultiLang"
#define MESSAGE_FILE_FORMAT "\\" MESSAGE_FOLDER "\\%04x.dat"

#endif  // VNTR_PRODUCT_H
