/*
 * The 64-bit twin of the preload library: empty. LD_PRELOAD names one path
 * with $PLATFORM in it, and 64-bit programs started from Wine's processes
 * (the wineserver wrapper script's shell) load this one instead of
 * complaining about a 32-bit library.
 */
void vntr_noreplace_64bit_placeholder(void) {}
