/* A resource-only image: the version resource is all it carries; the entry point does nothing. */
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return 1;
}
