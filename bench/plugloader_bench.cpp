// The loaders against the bare calls they stand for: each forwarder against
// a call through a function pointer of the same shape, and a load-and-unload
// cycle against dlopen, dlsym and dlclose of the same plugin. Pairs are
// measured in the same run and their ratios printed at the end.
#include <plugloader/loggingplugin.h>
#include <plugloader/protocolplugin.h>
#include <plugloader/responderplugin.h>

#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

// The proxy's types; the entry points only receive references to them.
class Options {};
class Socket {};
class imevent {};
class response {};

static const char *const pluginfile = BENCHPLUGIN;

// The plugin opened for one benchmark and closed after it, so that the
// load cycles below always really load and unload it.
class Opened
{
public:
    Opened() : handle(dlopen(pluginfile, RTLD_LAZY))
    {
        if (!handle) {
            fprintf(stderr, "%s\n", dlerror());
            exit(1);
        }
    }
    ~Opened() { dlclose(handle); }
    template <typename F> F get(const char *name) { return (F)dlsym(handle, name); }

private:
    void *handle;
};

// Every timing loop reads its loop variable once, (void)_, only so that
// the analyser does not take it for a value stored and never read.
static Options options;
static Socket sock;
static std::vector<imevent> events;
static std::vector<response> responses;
static std::string client;
static response reply;
static char buffer[64];
static int length = 5;

// Protocol.
static void direct_initprotocolplugin(benchmark::State &state)
{
    Opened lib;
    protocolplugindetails details;
    auto fn = lib.get<initprotocolpluginfunc>("initprotocolplugin");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(details, options, false));
    }
}
static void forwarder_initprotocolplugin(benchmark::State &state)
{
    ProtocolPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callinitprotocolplugin(options, false));
    }
    p.unloadplugin();
}
static void direct_closeprotocolplugin(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<closeprotocolpluginfunc>("closeprotocolplugin");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn());
    }
}
static void forwarder_closeprotocolplugin(benchmark::State &state)
{
    ProtocolPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callcloseprotocolplugin());
    }
    p.unloadplugin();
}
static void direct_processpacket(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<processpacketfunc>("processpacket");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(true, sock, buffer, &length, events, client));
    }
}
static void forwarder_processpacket(benchmark::State &state)
{
    ProtocolPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callprocesspacket(true, sock, buffer, &length, events, client));
    }
    p.unloadplugin();
}
static void direct_generatemessagepacket(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<generatemessagepacketfunc>("generatemessagepacket");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(reply, buffer, &length));
    }
}
static void forwarder_generatemessagepacket(benchmark::State &state)
{
    ProtocolPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callgeneratemessagepacket(reply, buffer, &length));
    }
    p.unloadplugin();
}

// Responder.
static void direct_initresponderplugin(benchmark::State &state)
{
    Opened lib;
    responderplugindetails details;
    auto fn = lib.get<initresponderpluginfunc>("initresponderplugin");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(details, options, false));
    }
}
static void forwarder_initresponderplugin(benchmark::State &state)
{
    ResponderPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callinitresponderplugin(options, false));
    }
    p.unloadplugin();
}
static void direct_closeresponderplugin(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<closeresponderpluginfunc>("closeresponderplugin");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn());
    }
}
static void forwarder_closeresponderplugin(benchmark::State &state)
{
    ResponderPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callcloseresponderplugin());
    }
    p.unloadplugin();
}
static void direct_generateresponses(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<generateresponsesfunc>("generateresponses");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(events, responses));
    }
}
static void forwarder_generateresponses(benchmark::State &state)
{
    ResponderPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callgenerateresponses(events, responses));
    }
    p.unloadplugin();
}

// Logging.
static void direct_initloggingplugin(benchmark::State &state)
{
    Opened lib;
    loggingplugindetails details;
    auto fn = lib.get<initloggingpluginfunc>("initloggingplugin");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(details, options, false));
    }
}
static void forwarder_initloggingplugin(benchmark::State &state)
{
    LoggingPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callinitloggingplugin(options, false));
    }
    p.unloadplugin();
}
static void direct_closeloggingplugin(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<closeloggingpluginfunc>("closeloggingplugin");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn());
    }
}
static void forwarder_closeloggingplugin(benchmark::State &state)
{
    LoggingPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.callcloseloggingplugin());
    }
    p.unloadplugin();
}
static void direct_logevents(benchmark::State &state)
{
    Opened lib;
    auto fn = lib.get<logeventsfunc>("logevents");
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(fn(events));
    }
}
static void forwarder_logevents(benchmark::State &state)
{
    LoggingPlugin p;
    p.loadplugin(pluginfile);
    for (auto _ : state) {
        (void)_;
        benchmark::DoNotOptimize(p.calllogevents(events));
    }
    p.unloadplugin();
}

// Load and unload.
static void direct_loadcycle(benchmark::State &state)
{
    for (auto _ : state) {
        (void)_;
        void *h = dlopen(pluginfile, RTLD_LAZY);
        benchmark::DoNotOptimize(dlsym(h, "initprotocolplugin"));
        benchmark::DoNotOptimize(dlsym(h, "closeprotocolplugin"));
        benchmark::DoNotOptimize(dlsym(h, "processpacket"));
        benchmark::DoNotOptimize(dlsym(h, "generatemessagepacket"));
        dlclose(h);
    }
}
static void forwarder_loadcycle(benchmark::State &state)
{
    for (auto _ : state) {
        (void)_;
        ProtocolPlugin p;
        benchmark::DoNotOptimize(p.loadplugin(pluginfile));
        p.unloadplugin();
    }
}

// Each pair runs back to back in many short repetitions. On a shared
// machine the fastest repetition is the one least disturbed, so the ratios
// use the minimum of each.
#define PAIR(name, seconds)                                                     \
    BENCHMARK(direct_##name)->Repetitions(20)->MinTime(seconds);                \
    BENCHMARK(forwarder_##name)->Repetitions(20)->MinTime(seconds);

PAIR(initprotocolplugin, 0.05)
PAIR(closeprotocolplugin, 0.05)
PAIR(processpacket, 0.05)
PAIR(generatemessagepacket, 0.05)
PAIR(initresponderplugin, 0.05)
PAIR(closeresponderplugin, 0.05)
PAIR(generateresponses, 0.05)
PAIR(initloggingplugin, 0.05)
PAIR(closeloggingplugin, 0.05)
PAIR(logevents, 0.05)
PAIR(loadcycle, 0.2)

// Keeps the fastest repetition of each benchmark for the ratio table, in
// processor time, which waiting for a shared processor does not inflate;
// shows only the aggregates.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        std::vector<Run> aggregates;
        for (const Run &run : runs) {
            if (run.run_type == Run::RT_Aggregate) {
                aggregates.push_back(run);
                continue;
            }
            double t = run.GetAdjustedCPUTime();
            auto m = minimums.find(run.run_name.function_name);
            if (m == minimums.end() || t < m->second)
                minimums[run.run_name.function_name] = t;
        }
        ConsoleReporter::ReportRuns(aggregates);
    }
    std::map<std::string, double> minimums;
};

int main(int argc, char **argv)
{
    // Repetitions of all benchmarks are shuffled together, so that a busy
    // spell of the machine falls on both sides of a pair alike.
    std::vector<char *> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    argc = (int)args.size();
    args.push_back(nullptr);
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    printf("\n%-24s %12s %12s %7s\n", "fastest of 20", "bare", "loader", "ratio");
    for (const auto &m : reporter.minimums) {
        if (m.first.compare(0, 7, "direct_") != 0)
            continue;
        std::string name = m.first.substr(7);
        auto loader = reporter.minimums.find("forwarder_" + name);
        if (loader == reporter.minimums.end())
            continue;
        const char *unit = name == "loadcycle" ? "us" : "ns";
        double scale = name == "loadcycle" ? 1e-3 : 1;
        printf("%-24s %10.2f%s %10.2f%s %7.3f\n", name.c_str(), m.second * scale, unit,
               loader->second * scale, unit,
               loader->second / m.second);
    }
    return 0;
}
