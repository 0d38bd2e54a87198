/* A library that offers only part of the libmp3lame interface, so the loader's refusal of an
 * incomplete library can be checked. */
void* lame_init(void) { return 0; }
int lame_close(void* flags) {
    (void)flags;
    return 0;
}
