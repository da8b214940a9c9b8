package com.tavindo.util.system;

import com.tavindo.test.Check;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.lang.ref.Reference;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;

public final class ProcessInfoTest {
    private static final long MIB = 1024 * 1024;

    private ProcessInfoTest() {}

    public static void main(String[] args) {
        Check.load("sysaux.lib");
        Check.group("figures", ProcessInfoTest::figures);
        Check.group("rss follows touched memory", ProcessInfoTest::rssFollowsTouchedMemory);
        Check.group("pid", ProcessInfoTest::pid);
        Check.finish();
    }

    private static void figures() throws Exception {
        long pageSize = pageSize();
        long rss = ProcessInfo.getRss0();
        long peak = ProcessInfo.getPeakRss0();
        Check.isTrue("rss > 0: " + rss, rss > 0);
        Check.equal("rss % page size", 0L, rss % pageSize);
        Check.equal("peak % 1024", 0L, peak % 1024);
        Check.isTrue("peak " + peak + " >= rss " + rss, peak >= rss);
    }

    // Wrong units (pages, kilobytes) would not show 32 MiB of new resident memory.
    private static void rssFollowsTouchedMemory() {
        long before = ProcessInfo.getRss0();
        ByteBuffer block = ByteBuffer.allocateDirect((int) (32 * MIB));  // zero-filled, so resident
        for (int i = 0; i < block.capacity(); i += 4096) {
            block.put(i, (byte) 1);
        }
        long after = ProcessInfo.getRss0();
        long peak = ProcessInfo.getPeakRss0();
        Check.isTrue("rss grew by at least 16 MiB: " + before + " -> " + after, after - before >= 16 * MIB);
        Check.isTrue("peak " + peak + " >= rss " + after, peak >= after);
        Reference.reachabilityFence(block);
    }

    private static void pid() {
        long own = ProcessHandle.current().pid();
        Check.equal("pid", own, ProcessInfo.getPid0());
        Check.equal("pid again", own, ProcessInfo.getPid0());
    }

    private static long pageSize() throws Exception {
        Process p = new ProcessBuilder("getconf", "PAGESIZE").redirectErrorStream(true).start();
        String line;
        try (BufferedReader r = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.US_ASCII))) {
            line = r.readLine();
        }
        if (!p.waitFor(60, TimeUnit.SECONDS)) {
            p.destroyForcibly();
            throw new IllegalStateException("getconf did not finish");
        }
        return Long.parseLong(line.trim());
    }
}
