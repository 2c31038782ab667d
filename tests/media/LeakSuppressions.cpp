// libx265 3.5 keeps a few small buffers of its frame filter past x265_encoder_close; the leak
// checker of sanitizer builds is told about that library's own allocations, nothing else.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
