// Tests check that impossible allocations are reported as failures; under
// AddressSanitizer they must return null as they do without it.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
