// ThreadSanitizer builds: GLib and umockdev are not instrumented and hand
// data between their threads with futexes that TSan cannot see, so their
// internal hand-offs are not races of ours. Built into vprinter itself,
// since every test of every area starts it.
extern "C" const char *__tsan_default_suppressions() {
  return "race:libglib-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libgio-2.0.so\n"
         "race:libumockdev.so\n";
}
