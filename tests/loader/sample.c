/* A small DLL for the module loader tests, built for both PE32 and PE32+. It imports from two
   host libraries (by name and by ordinal), exports functions and data, and holds absolute
   pointers that have to be relocated when it is not placed at its preferred base. */
#define IMPORT __declspec(dllimport)

IMPORT int host_note(int reason); /* glowhost.dll, by name; its result is DllMain's */
IMPORT int host_seed(void);       /* glowhost.dll, by ordinal 7 */
IMPORT int aux_offset(void);      /* glowaux.dll, by name */

int counter = 5;
int* counter_ptr = &counter;
const char* greeting = "hello";
int value = 1;
int Value = 2;
int attach_calls; /* zero-initialised: lives in .bss */
void* instance_seen;

int add_seed(int x) {
    return x + host_seed() + aux_offset();
}
int (*add_seed_ptr)(int) = add_seed;

int twin_a(void) {
    return 10;
}
int twin_b(void) {
    return 20;
}
int hidden(void) {
    return 30;
}

int __stdcall DllMain(void* instance, unsigned reason, void* reserved) {
    (void)reserved;
    if (reason == 1) {
        ++attach_calls;
        instance_seen = instance;
    }
    return host_note((int)reason);
}
