// The version of the tools built from this tree: the simulator and the
// machine capture program print it.
#ifndef VNTR_VERSION_H
#define VNTR_VERSION_H

#define VNTR_VERSION "1.1.0"

#endif
