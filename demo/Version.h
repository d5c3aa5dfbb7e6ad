// Demo header: run the tool on a copy of it (see README).
#define BuildCount 41
