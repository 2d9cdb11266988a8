#include "window/LoomworkMain.h"

int main(int argc, char* argv[])
{
    return LoomworkMain::run(argc, argv);
}
