package com.tavindo.util.system;

/** Memory figures and id of the running process, implemented by the native library sysaux. */
public final class ProcessInfo {
    private ProcessInfo() {}

    /** Current resident set size in bytes; 0 when it cannot be read. */
    public static native long getRss0();

    /** Largest resident set size the process has had, in bytes. */
    public static native long getPeakRss0();

    /** The process id. */
    public static native long getPid0();
}
