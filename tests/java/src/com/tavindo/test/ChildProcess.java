package com.tavindo.test;

import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/** Output and exit code of a child process that the tests run, and the helpers around it. */
public final class ChildProcess {
    public final int exit;
    public final String out;

    private ChildProcess(int exit, String out) {
        this.exit = exit;
        this.out = out;
    }

    /** The value of the line "key=value" the child printed, or null. */
    public String value(String key) {
        for (String line : out.split("\n")) {
            if (line.startsWith(key + "=")) {
                return line.substring(key.length() + 1);
            }
        }
        return null;
    }

    /** Whether a JVM's output holds a -Xcheck:jni warning. */
    public static boolean hasJniWarning(String out) {
        return out.contains("WARNING in native method") || out.contains("WARNING: JNI");
    }

    /**
     * Runs pb with its output (standard error included) in a temporary file; a process still
     * running after the given seconds is killed, and that fails a check.
     */
    public static ChildProcess run(ProcessBuilder pb, String what, int seconds)
            throws IOException, InterruptedException {
        Path out = Files.createTempFile("child", ".out");
        try {
            Process p = pb.redirectErrorStream(true).redirectOutput(out.toFile()).start();
            boolean exited = p.waitFor(seconds, TimeUnit.SECONDS);
            if (!exited) {
                p.destroyForcibly().waitFor();
            }
            String text = new String(Files.readAllBytes(out), StandardCharsets.UTF_8);
            Check.isTrue(what + " exits within " + seconds + " s:\n" + text, exited);
            return new ChildProcess(p.exitValue(), text);
        } finally {
            Files.deleteIfExists(out);
        }
    }

    /** Deletes dir bottom-up; walks again when a file appeared meanwhile (three walks at most). */
    public static void deleteTree(Path dir) {
        for (int walk = 0; walk < 3 && Files.exists(dir); walk++) {
            try (Stream<Path> s = Files.walk(dir)) {
                s.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
            } catch (IOException | UncheckedIOException e) {
                // a file went while walking: walk again
            }
        }
    }
}
