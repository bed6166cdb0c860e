// Default options of the sanitizer runtimes, compiled into every program of
// the sanitizer build. A finding ends the process with exit status 86 (a
// status no helper uses of its own) after writing its report to a file
// below the build tree, where the suite looks for it at the end.
extern "C" {

#define KORVANE_COMMON_OPTIONS \
    "exitcode=86:log_path=" KORVANE_SANITIZER_LOG ":log_exe_name=1:print_summary=1"

const char *__asan_default_options()
{
    return KORVANE_COMMON_OPTIONS ":detect_leaks=1:strict_string_checks=1"
                                  ":detect_stack_use_after_return=1";
}

const char *__ubsan_default_options()
{
    return KORVANE_COMMON_OPTIONS ":print_stacktrace=1:halt_on_error=1";
}

const char *__lsan_default_options()
{
    return KORVANE_COMMON_OPTIONS;
}

}
