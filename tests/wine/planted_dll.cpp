// A DLL that tests plant beside a program to see whether the program loads it.
extern "C" __declspec(dllexport) int RolekitPlanted() { return 1; }
