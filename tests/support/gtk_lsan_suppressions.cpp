// The toolkit libraries keep caches for the life of the process (fonts,
// types, themes, the X connection, the GL driver); the leak checker of sanitizer builds is
// told to leave allocations made inside them alone.
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libglib-2.0.so\n"
           "leak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\n"
           "leak:libgtk-3.so\n"
           "leak:libgdk-3.so\n"
           "leak:libgdk_pixbuf-2.0.so\n"
           "leak:libpango-1.0.so\n"
           "leak:libpangocairo-1.0.so\n"
           "leak:libpangoft2-1.0.so\n"
           "leak:libcairo.so\n"
           "leak:libharfbuzz.so\n"
           "leak:libfreetype.so\n"
           "leak:libX11.so\n"
           "leak:libXext.so\n"
           "leak:libatk-1.0.so\n"
           "leak:libatk-bridge-2.0.so\n"
           "leak:libepoxy.so\n"
           // Mesa's software renderer, which WebKit's compositing brings in.
           "leak:swrast_dri.so\n"
           "leak:libwebkit2gtk-4.1.so\n"
           "leak:libjavascriptcoregtk-4.1.so\n"
           "leak:libsoup-3.0.so\n";
}
