/* A shared library that needs_dependency.dll links against.  The tests copy
 * the plugin without it, so the loader refuses the plugin. */
__attribute__((visibility("default"))) int test_dependency_value(void) { return 0; }
