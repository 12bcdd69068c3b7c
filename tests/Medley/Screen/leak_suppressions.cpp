// Fontconfig keeps its configuration for the life of the process and frees it
// only on an explicit finaliser that Pango never calls: not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
