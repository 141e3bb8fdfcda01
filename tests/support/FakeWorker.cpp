// Test-only stand-in for OqtQuillmarkWorker.exe, built beside the test receiver so that a
// lock-mode MonitorStart, which starts "OqtQuillmarkWorker.exe -start" by its bare name, finds it
// in the receiver's folder. Appends its arguments as one line to the file named by the
// environment variable QM_FAKE_WORKER_JOURNAL.
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const char* journal = std::getenv("QM_FAKE_WORKER_JOURNAL");
    if (journal == nullptr) {
        return 1;
    }
    FILE* file = std::fopen(journal, "a");
    if (file == nullptr) {
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        std::fprintf(file, i > 1 ? " %s" : "%s", argv[i]);
    }
    std::fprintf(file, "\n");
    std::fclose(file);
    return 0;
}
