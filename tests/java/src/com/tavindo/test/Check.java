package com.tavindo.test;

import java.util.Arrays;
import java.util.Objects;

/** Minimal assertions for the Java tests: counts checks and ends with a summary line. */
public final class Check {
    private static int passed;
    private static int failed;

    private Check() {}

    public static void isTrue(String what, boolean cond) {
        if (cond) {
            passed++;
        } else {
            failed++;
            System.out.println("FAILED: " + what);
        }
    }

    public static void equal(String what, Object expected, Object actual) {
        isTrue(what + " (expected " + expected + ", got " + actual + ")", Objects.equals(expected, actual));
    }

    public static void equalBytes(String what, byte[] expected, byte[] actual) {
        isTrue(what + " (byte arrays differ)", Arrays.equals(expected, actual));
    }

    /** Runs a named group of checks; an exception fails the group and the run goes on. */
    public static void group(String name, ThrowingRunnable body) {
        try {
            body.run();
        } catch (Throwable t) {
            failed++;
            System.out.println("FAILED: " + name + " threw " + t);
            t.printStackTrace(System.out);
        }
    }

    /** Prints the closing line and exits non-zero on any failure or when nothing was checked. */
    public static void finish() {
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 && passed > 0 ? 0 : 1);
    }

    /** Loads a built library named by a system property. */
    public static void load(String property) {
        String path = System.getProperty(property);
        if (path == null || path.isEmpty()) {
            throw new IllegalStateException("system property " + property + " is not set");
        }
        System.load(path);
    }

    public interface ThrowingRunnable {
        void run() throws Exception;
    }
}
