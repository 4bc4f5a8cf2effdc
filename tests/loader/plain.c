/* A DLL without imports and without an entry point; one pointer needs relocating. */
int plain_value = 42;
int* plain_ptr = &plain_value;
int zeroed[16];
