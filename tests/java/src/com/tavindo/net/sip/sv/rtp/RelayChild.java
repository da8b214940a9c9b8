package com.tavindo.net.sip.sv.rtp;

import java.util.Collections;
import java.util.Enumeration;
import java.util.List;
import java.util.Properties;

/**
 * A relay host started by a test in its own JVM: arguments "key=value" become the properties;
 * a single argument "null" passes no object, "none" skips initStatic0 and "names-only" passes an
 * object without getProperty. Prints what the test checks as "key=value".
 */
public final class RelayChild {
    private RelayChild() {}

    /** Answers propertyNames as a properties object does, but has no getProperty. */
    public static final class NamesOnly {
        public Enumeration<Object> propertyNames() {
            return Collections.enumeration(List.of("path.log"));
        }
    }

    public static void main(String[] args) {
        System.load(System.getProperty("mediarelay.lib"));
        String mode = args.length == 1 ? args[0] : "";
        if (mode.equals("null") || mode.equals("none")) {
            if (mode.equals("null")) {
                RTPexJNI.initStatic0(null, true);
            }
            System.out.println("rev=" + RTPexJNI.getNativeInfo0("rev"));
            callEvery();
            return;
        }
        if (mode.equals("names-only")) {
            RTPexJNI.initStatic0(new NamesOnly(), false);
        } else {
            Properties p = new Properties();
            for (String a : args) {
                int eq = a.indexOf('=');
                p.setProperty(a.substring(0, eq), a.substring(eq + 1));
            }
            RTPexJNI.initStatic0(p, false);
        }
        System.out.println("rev=" + RTPexJNI.getNativeInfo0("rev"));
        long id = RelayHarness.open(1, 43000, 43198);
        RTPexJNI.setTarget0(id, "127.0.0.1", 43199, 0, null, 0, 0, true, 0);
        System.out.println("target=" + RTPexJNI.getTarget0(id));
        System.out.println("status=" + RTPexJNI.getNativeInfo0("REV").replace("\r\n", "|").replace("\n", "/"));
    }

    /** Every method but initStatic0 on a relay that was never started; one line per result. */
    private static void callEvery() {
        long id = (1L << 32) | 43000;
        System.out.println("openSocket0=" + RelayHarness.open(1, 43000, 43198));
        System.out.println("openSocketFromCache0=" + RTPexJNI.openSocketFromCache0(2, (byte) 0, id, 0,
                0, "h", 200, 200, false, false, "127.0.0.1", 0));
        System.out.println("getPacketPerSec0=" + RTPexJNI.getPacketPerSec0(id));
        System.out.println("getCntPacket0=" + RTPexJNI.getCntPacket0(id));
        System.out.println("getTarget0=" + RTPexJNI.getTarget0(id));
        System.out.println("getTypePayload0=" + RTPexJNI.getTypePayload0(id));
        System.out.println("setTarget0=" + RTPexJNI.setTarget0(id, "127.0.0.1", 5000, 0, null, 0, 0,
                false, 7));
        System.out.println("createCryptoToSend0=" + RTPexJNI.createCryptoToSend0(id, (short) 0));
        System.out.println("workthread0=" + RTPexJNI.workthread0(0));
        System.out.println("getNativeInfo0=" + RTPexJNI.getNativeInfo0(""));
        RTPexJNI.setSender0(id, id);
        RTPexJNI.setSessionTimeOutTimer0(id, 5);
        RTPexJNI.setResponsePort0(id, true);
        RTPexJNI.start0(id);
        RTPexJNI.srtpKeyRecv0(id, (short) 0, new byte[30]);
        RTPexJNI.srtpStart0(id, id);
        RTPexJNI.toDie0(id, true);
        RTPexJNI.toDie0(id, false);
        RTPexJNI.join0(id);
        System.out.println("void methods=returned");
    }
}
