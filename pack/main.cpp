#include "pack/qev_pack.h"
#include "shell/program.h"

int main(int argc, char** argv) { return qev::runMain(argc, argv, qev::pack::runPack); }
