#include "app/entry.h"

int main(int argc, char** argv) { return p11agent::run_agent(argc, argv); }
