// mavoDaemon: the scheduling and execution engine. See core/startup.cpp.

#include "core/startup.h"

int main(int argc, char** argv) { return runDaemon(argc, argv); }
