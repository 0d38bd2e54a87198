#include "app/program.h"

int main(int argc, char** argv) { return quavelink::runServerProgram(argc, argv); }
