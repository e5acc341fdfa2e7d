#include "check/run_check.h"

int main(int argc, char** argv) {
    qev::Console console = qev::processConsole();
    return qev::check::runCheck(argc, argv, console);
}
