/* A shared library that opens like a PKCS#11 module but has no C_GetFunctionList. */
int qd_not_a_pkcs11_module(void) { return 0; }
