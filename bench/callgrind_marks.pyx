# Callgrind's client requests for bench/callgrind.py. Outside valgrind each
# request is a handful of no-op instructions, so the module imports and runs
# anywhere.

cdef extern from *:
    """
    #include <valgrind/callgrind.h>
    static void marks_start(void) { CALLGRIND_START_INSTRUMENTATION; }
    static void marks_zero(void) { CALLGRIND_ZERO_STATS; }
    static void marks_dump(const char *label) { CALLGRIND_DUMP_STATS_AT(label); }
    static int marks_on_valgrind(void) { return RUNNING_ON_VALGRIND ? 1 : 0; }
    """
    void marks_start()
    void marks_zero()
    void marks_dump(const char *label)
    int marks_on_valgrind()


def start():
    """Start instrumenting (for a run under --instr-atstart=no): counting can begin."""
    marks_start()


def zero():
    """Reset the counters: what runs next is counted from nothing."""
    marks_zero()


def dump(str label):
    """Write the counters since the last zero or dump to a file described by `label`."""
    cdef bytes raw = label.encode()
    marks_dump(raw)


def on_valgrind():
    return bool(marks_on_valgrind())
