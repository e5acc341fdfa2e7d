#include "check/run_check.h"
#include "system/process.h"

int main(int argc, char** argv) {
    qev::Utf8Arguments arguments(argc, argv);
    qev::Console console = qev::processConsole();
    return qev::check::runCheck(arguments.count(), arguments.values(), console);
}
