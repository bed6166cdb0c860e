// Reading and writing settings files of 1,000 and 10,000 entries, against a
// floor measured in the same run: the same file read line by line with fgets,
// each line copied into a fresh, zeroed record of two 1023-byte arrays (the
// least a list of such records can cost). Prints the ratios at the end.
#include "setuid.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

namespace {

std::string settings_file(int entries)
{
    std::string path = std::string(KORVANE_BENCH_SCRATCH) + "/settings-" + std::to_string(entries);
    FILE *file = fopen(path.c_str(), "w");
    for (int i = 0; i < entries; i++) {
        if (i % 4 == 0)
            fprintf(file, "SETTING_%d='a value with spaces %d'\n", i, i);
        else
            fprintf(file, "SETTING_%d=value%d\n", i, i);
    }
    fclose(file);
    return path;
}

// Every timing loop reads its loop variable once, (void)_, only so that
// the analyser does not take it for a value stored and never read.

struct Record {
    char key[1023];
    char value[1023];
    Record *next;
};

void floor_read(benchmark::State &state)
{
    std::string path = settings_file((int)state.range(0));
    for (auto _ : state) {
        (void)_;
        Record head{};
        Record *tail = &head;
        FILE *file = fopen(path.c_str(), "r");
        char line[1023];
        while (fgets(line, sizeof(line), file)) {
            Record *record = static_cast<Record *>(calloc(1, sizeof(Record)));
            memcpy(record->key, line, strlen(line) + 1);
            tail->next = record;
            tail = record;
        }
        fclose(file);
        // Through a copy: the analyser takes what DoNotOptimize may write
        // for lost, and would see the list leak.
        Record *const first = head.next;
        benchmark::DoNotOptimize(first);
        state.PauseTiming();
        for (Record *r = head.next; r;) {
            Record *next = r->next;
            free(r);
            r = next;
        }
        state.ResumeTiming();
    }
}

void store_read(benchmark::State &state)
{
    std::string path = settings_file((int)state.range(0));
    keyvalue *head = initkeyvalues();
    for (auto _ : state) {
        (void)_;
        if (readkeyvalues(head, path.c_str()) != 1)
            state.SkipWithError("read failed");
        state.PauseTiming();
        freekeyvalues(head);
        state.ResumeTiming();
    }
    free(head);
}

// For scale: the same reading with every entry added by appendkeyvalue,
// which walks the list from the head each time.
void walking_read(benchmark::State &state)
{
    std::string path = settings_file((int)state.range(0));
    keyvalue *head = initkeyvalues();
    for (auto _ : state) {
        (void)_;
        FILE *file = fopen(path.c_str(), "r");
        char line[1023];
        while (fgets(line, sizeof(line), file)) {
            line[strcspn(line, "\n")] = '\0';
            char *equals = strchr(line, '=');
            *equals = '\0';
            appendkeyvalue(head, line, equals + 1);
        }
        fclose(file);
        state.PauseTiming();
        freekeyvalues(head);
        state.ResumeTiming();
    }
    free(head);
}

void store_write(benchmark::State &state)
{
    std::string path = settings_file((int)state.range(0));
    keyvalue *head = initkeyvalues();
    readkeyvalues(head, path.c_str());
    std::string out = path + ".written";
    for (auto _ : state) {
        (void)_;
        if (writekeyvalues(head, out.c_str()) != 1)
            state.SkipWithError("write failed");
    }
    freekeyvalues(head);
    free(head);
}

BENCHMARK(floor_read)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(store_read)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(walking_read)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(store_write)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's real time per iteration, in microseconds.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> micros;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration)
                micros[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv)
{
    // Freed records stay with the process, so that every round reuses the
    // memory of the last rather than timing the kernel's page faults.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    auto time = [&](const char *name, int n) {
        auto found = collector.micros.find(std::string(name) + "/" + std::to_string(n));
        return found == collector.micros.end() ? 0.0 : found->second;
    };
    printf("\nRatios against the floor (fgets into fresh zeroed records):\n");
    for (const char *name : {"store_read", "walking_read", "store_write"})
        for (int n : {1000, 10000})
            if (time("floor_read", n) > 0 && time(name, n) > 0)
                printf("  %-13s %6d entries: %6.2f x floor\n", name, n, time(name, n) / time("floor_read", n));
    printf("Time per entry at 10,000 over that at 1,000:\n");
    for (const char *name : {"floor_read", "store_read", "walking_read", "store_write"})
        if (time(name, 1000) > 0 && time(name, 10000) > 0)
            printf("  %-13s %6.2f\n", name, (time(name, 10000) / 10000) / (time(name, 1000) / 1000));
    benchmark::Shutdown();
    return 0;
}
