package com.tavindo.net.sip.sv.rtp;

import com.tavindo.test.Check;
import com.tavindo.test.ChildProcess;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;

/** Start-up through initStatic0, each case in a JVM of its own (ports 43000-43199). */
public final class RelayStartTest {
    private static final String CHILD = RelayChild.class.getName();

    private RelayStartTest() {}

    public static void main(String[] args) throws Exception {
        Check.group("before start-up", RelayStartTest::beforeStartUp);
        Check.group("properties without getProperty", RelayStartTest::namesOnly);
        Check.group("log path and start marker", RelayStartTest::logPaths);
        Check.group("forwarding before learning", RelayStartTest::behindNatSend);
        Check.finish();
    }

    private static Path dir() throws Exception {
        Path d = RelayHarness.tempDir("relaystart");
        Files.createDirectories(d.resolve("log"));
        return d;
    }

    private static ChildProcess run(Path cwd, String... props) throws Exception {
        ChildProcess c = RelayHarness.child(CHILD, Map.of(), cwd, List.of(), props);
        Check.equal("child exit " + String.join(" ", props) + ":\n" + c.out, 0, c.exit);
        return c;
    }

    /** Without initStatic0, or after it with no object, every method gives its fixed value. */
    private static void beforeStartUp() throws Exception {
        String[][] results = {
            {"rev", "1"}, {"openSocket0", "0"}, {"openSocketFromCache0", "0"},
            {"getPacketPerSec0", "0"}, {"getCntPacket0", "0"}, {"getTarget0", "null"},
            {"getTypePayload0", "-1"}, {"setTarget0", "7"}, {"createCryptoToSend0", "null"},
            {"workthread0", "false"}, {"getNativeInfo0", "null"}, {"void methods", "returned"},
        };
        for (String mode : new String[] {"none", "null"}) {
            Path cwd = dir();
            ChildProcess c = run(cwd, mode);
            for (String[] r : results) {
                Check.equal(mode + ": " + r[0], r[1], c.value(r[0]));
            }
            Check.isTrue(mode + ": no log opened", !Files.exists(cwd.resolve("log/proxy.log")));
        }
    }

    /** An object without getProperty: no JNI call with its error pending, the defaults apply. */
    private static void namesOnly() throws Exception {
        Path cwd = dir();
        ChildProcess c = run(cwd, "names-only");
        Check.isTrue("log in the default directory",
                RelayHarness.log(cwd.resolve("log/proxy.log")).startsWith("mediarelay#start#"));
        Check.isTrue("an endpoint opens: " + c.value("status"),
                String.valueOf(c.value("status")).contains("<RTPex> count:1;|43"));
    }

    private static void logPaths() throws Exception {
        Path cwd = dir();
        Files.createDirectories(cwd.resolve("w/log"));
        Files.createDirectories(cwd.resolve("logs/relay"));
        Files.createDirectories(cwd.resolve("abs"));
        String[][] cases = {
            {"log/proxy.log"},
            {"w/log/proxy.log", "path.work=w"},
            {"w/log/proxy.log", "path.log=", "path.work=w"},
            {"logs/relay/proxy.log", "path.log=logs\\relay", "path.work=w"},
            {"abs/proxy.log", "path.log=" + cwd.resolve("abs")},
        };
        for (String[] c : cases) {
            Path file = cwd.resolve(c[0]);
            Files.deleteIfExists(file);
            String[] props = java.util.Arrays.copyOfRange(c, 1, c.length);
            long before = System.currentTimeMillis();
            run(cwd, props);
            long after = System.currentTimeMillis();
            String log = RelayHarness.log(file);
            String first = log.isEmpty() ? "" : log.substring(0, Math.max(0, log.indexOf('\n')));
            Check.isTrue(c[0] + " starts with the marker: " + first, first.startsWith("mediarelay#start#"));
            if (first.startsWith("mediarelay#start#")) {
                long t = Long.parseLong(first.substring("mediarelay#start#".length()));
                Check.isTrue("marker time " + t, t >= before && t <= after);
            }
        }
    }

    private static void behindNatSend() throws Exception {
        String[][] cases = {
            {"true", "127.0.0.1:43199"}, {"TRUE", "127.0.0.1:43199"}, {"True", "null"},
            {"1", "null"}, {" true", "null"}, {"", "null"},
        };
        for (String[] c : cases) {
            ChildProcess child = run(dir(), "rtp.behindnat.send=" + c[0]);
            Check.equal("rtp.behindnat.send '" + c[0] + "'", c[1], child.value("target"));
            Check.isTrue("REV gives the status text", String.valueOf(child.value("status"))
                    .startsWith("<EventQueue GC> :q.size:0/scdq.size:0/|"));
        }
    }
}
