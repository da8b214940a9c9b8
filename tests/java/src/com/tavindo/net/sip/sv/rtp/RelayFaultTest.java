package com.tavindo.net.sip.sv.rtp;

import com.tavindo.test.Check;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.List;
import java.util.Map;
import java.util.StringJoiner;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * A failure inside each export: one exception record with its place text, the fixed result. The
 * failures come from the fault hook of the test build of the library (mediarelay.faults.lib); the
 * shipped library (mediarelay.lib) must not have that hook.
 */
public final class RelayFaultTest {
    private static final String PREFIX = "Java_com_tavindo_net_sip_sv_rtp_RTPexJNI_";
    private static final String SOURCE = "|--- com_tavindo_net_sip_sv_rtp_RTPexJNI";
    /** The head of an export's definition in the source, with the method name. */
    private static final Pattern EXPORT = Pattern.compile("^EXPORT\\([^,]+, (\\w+)\\)");
    private static List<String> sourceLines = List.of();

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
        String source = System.getenv("MEDIARELAY_JNI_SOURCE");
        Check.isTrue("MEDIARELAY_JNI_SOURCE names the exports' source", source != null);
        sourceLines = source == null ? List.of() : Files.readAllLines(Path.of(source));
        StringJoiner all = new StringJoiner(",");
        for (String[] c : cases) {
            all.add(c[0]);
            Check.group(c[0], () -> runCase(faults, c[0], c[1], c[2]));
        }
        // Methods whose normal result differs from the one after a failure.
        for (String method : new String[] {"openSocket0", "getNativeInfo0", "createCryptoToSend0"}) {
            Check.group("shipped " + method, () -> runShipped(all.toString(), method));
        }
        Check.finish();
    }

    private static void runCase(String lib, String method, String result, String value)
            throws Exception {
        RelayHarness.Child child = RelayHarness.childOn(lib, RelayFaultChild.class.getName(),
                Map.of("MEDIARELAY_TEST_FAULT", method), null, List.of(), method);
        Check.equal(method + " child exit:\n" + child.out, 0, child.exit);
        Check.equal(method + " result", result, child.value("result"));
        String after = value == null ? "" : value.equals("a") ? " " + child.value("a") : value;
        String expected = "Exception. " + PREFIX + method + after + SOURCE;
        String record = child.value("record");
        Check.isTrue(method + " record: " + record, record != null && record.startsWith(expected)
                && record.substring(expected.length()).matches("(\\.cpp)?"));
        String line = child.value("line");
        Check.equal(method + " record names a line of its own export (" + line + ")", method,
                exportAt(line));
        // toDie0 is called twice, once for each mode.
        Check.equal(method + " records", method.equals("toDie0") ? "2" : "1", child.value("records"));
        String freed = child.value("freed");
        Check.isTrue(method + " pins given back", freed == null || freed.equals("true"));
    }

    /** The method of the export whose body holds the given line of the source, or null. */
    private static String exportAt(String line) {
        int n = line == null || !line.matches("\\d+") ? 0 : Integer.parseInt(line);
        for (int i = Math.min(n, sourceLines.size()); i > 0; i--) {
            Matcher m = EXPORT.matcher(sourceLines.get(i - 1));
            if (m.find()) {
                return m.group(1);
            }
        }
        return null;
    }

    /** The shipped library ignores MEDIARELAY_TEST_FAULT: a normal result and no record. */
    private static void runShipped(String methods, String method) throws Exception {
        RelayHarness.Child child = RelayHarness.child(RelayFaultChild.class.getName(),
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
