#include <iostream>

#include "../server/lumetra.h"

int main(int argc, char** argv)
{
    try {
        // After the usage text there is no listener to serve from.
        if (prologue(argc, argv) != 0)
            return 0;
        for (;;) {
            // Sleeps until a client waits, so an idle server costs no processor time.
            awaitClient(-1);
            labourer();
        }
    } catch (const ErrorText& text) {
        releaseResources();
        writeToLog(text.c_str());
        std::cerr << text << std::endl;
    }
    return 0;
}
