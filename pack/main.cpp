#include "shell/program.h"
#include "pack/qev_pack.h"

int main(int argc, char** argv) { return qev::runMain(argc, argv, qev::pack::runPack); }
