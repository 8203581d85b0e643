// A program that does nothing but link the core's libraries (wxBase, Boost.System and
// Boost.Filesystem, TinyXML) and touch each once; its resident size is what the core's idle
// size is set against. Prints "ready" and waits to be killed.
#include <unistd.h>

#include <cstdio>

#include <boost/filesystem.hpp>
#include <tinyxml.h>
#include <wx/app.h>

int main()
{
    int wxArgc = 0;
    wxInitialize(wxArgc, static_cast<wxChar**>(nullptr));
    boost::system::error_code error;
    boost::filesystem::path here = boost::filesystem::current_path(error);
    TiXmlDocument document;
    document.Parse("<oDVR/>");
    printf("ready %s %d\n", here.c_str(), document.RootElement() != nullptr);
    fflush(stdout);
    for (;;)
        pause();
}
