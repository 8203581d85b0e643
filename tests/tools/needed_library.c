/* A shared library a test plugin needs, left out of the folder the plugin is installed in. */
__attribute__((visibility("default"))) unsigned NeededProviderID(void)
{
    return 0x00320000u;
}
