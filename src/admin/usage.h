#pragma once

// Prints the usage text to standard output; argv[0] names the program.
void printUsage(int argc, char** argv);
