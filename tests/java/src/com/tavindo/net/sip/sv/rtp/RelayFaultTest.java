package com.tavindo.net.sip.sv.rtp;

import com.tavindo.test.Check;
import com.tavindo.test.ChildProcess;

import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.StringJoiner;
import java.util.TreeMap;

/**
 * A failure inside each export: one exception record with its place text, the fixed result. The
 * failures come from the fault hook of the test build of the library (mediarelay.faults.lib); the
 * shipped library (mediarelay.lib) must not have that hook.
 */
public final class RelayFaultTest {
    private static final String PREFIX = "Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_";
    private static final String SOURCE = "|--- com_tavindo_net_sip_sv_rtp_RTPexJNI";
    /** The source line that each export's record names. */
    private static final Map<String, String> LINES = new TreeMap<>();

    private RelayFaultTest() {}

    public static void main(String[] args) throws Exception {
        // method, result after the failure, value after the place text ("a": the first id).
        String[][] cases = {
            {"workthread0", "false", null},
            {"openSocket0", "0", " 987"},
            {"openSocketFromCache0", "0", " 987"},
            {"getPacketPerSec0", "0", "a"},
            {"getCntPacket0", "0", "a"},
            {"setSender0", "void", "a"},
            {"setSessionTimeOutTimer0", "void", "a"},
            {"getTarget0", "null", "a"},
            {"getTypePayload0", "-1", "a"},
            {"setResponsePort0", "void", "a"},
            {"start0", "void", "a"},
            {"toDie0", "void", "a"},
            {"setTarget0", "7", "a"},
            {"getNativeInfo0", "null", " "},
            {"createCryptoToSend0", "null", "a"},
            {"srtpKeyRecv0", "void", "a"},
            {"srtpStart0", "void", "a"},
            {"bindToDeviceDatagram0", "true", " "},
            {"bindToDevice0", "true", " "},
        };
        String faults = System.getProperty("mediarelay.faults.lib", "");
        Check.isTrue("mediarelay.faults.lib names the test build", !faults.isEmpty());
        StringJoiner all = new StringJoiner(",");
        for (String[] c : cases) {
            all.add(c[0]);
            Check.group(c[0], () -> runCase(faults, c[0], c[1], c[2]));
        }
        // Each export's handler names its own line, not one shared by all.
        Check.equal("a line of its own for each export " + LINES, cases.length,
                new HashSet<>(LINES.values()).size());
        // Methods whose normal result differs from the one after a failure.
        for (String method : new String[] {"openSocket0", "getNativeInfo0", "createCryptoToSend0"}) {
            Check.group("shipped " + method, () -> runShipped(all.toString(), method));
        }
        Check.finish();
    }

    private static void runCase(String lib, String method, String result, String value)
            throws Exception {
        ChildProcess child = RelayHarness.childOn(lib, RelayFaultChild.class.getName(),
                Map.of("MEDIARELAY_TEST_FAULT", method), null, List.of(), method);
        Check.equal(method + " child exit:\n" + child.out, 0, child.exit);
        Check.equal(method + " result", result, child.value("result"));
        String after = value == null ? "" : value.equals("a") ? " " + child.value("a") : value;
        String expected = "Exception. " + PREFIX + method + after + SOURCE;
        String record = child.value("record");
        Check.isTrue(method + " record: " + record, record != null && record.startsWith(expected)
                && record.substring(expected.length()).matches("(\\.cpp)?"));
        String line = child.value("line");
        Check.isTrue(method + " record names a line (" + line + ")",
                line != null && line.matches("[1-9][0-9]*"));
        LINES.put(method, line);
        // toDie0 is called twice, once for each mode.
        Check.equal(method + " records", method.equals("toDie0") ? "2" : "1", child.value("records"));
        String freed = child.value("freed");
        Check.isTrue(method + " pins given back", freed == null || freed.equals("true"));
    }

    /** The shipped library ignores MEDIARELAY_TEST_FAULT: a normal result and no record. */
    private static void runShipped(String methods, String method) throws Exception {
        ChildProcess child = RelayHarness.child(RelayFaultChild.class.getName(),
                Map.of("MEDIARELAY_TEST_FAULT", methods), null, List.of(), method);
        String what = "shipped " + method;
        Check.equal(what + " child exit:\n" + child.out, 0, child.exit);
        String result = child.value("result");
        Check.isTrue(what + " result " + result, result != null && !result.equals("0")
                && !result.equals("null"));
        Check.equal(what + " record", null, child.value("record"));
        String freed = child.value("freed");
        Check.isTrue(what + " pins given back", freed == null || freed.equals("true"));
    }
}
