// Advanced by Tallier on every build of the example.
#define BuildCount 0
