package com.tavindo.net.sip.sv.rtp;

import java.util.Properties;

/**
 * A relay host started by a test in its own JVM: arguments "key=value" become the properties
 * (the single argument "null" passes no object); prints what the test checks as "key=value".
 */
public final class RelayChild {
    private RelayChild() {}

    public static void main(String[] args) {
        System.load(System.getProperty("mediarelay.lib"));
        if (args.length == 1 && args[0].equals("null")) {
            RTPexJNI.initStatic0(null, true);
            System.out.println("rev=" + RTPexJNI.getNativeInfo0("rev"));
            return;
        }
        Properties p = new Properties();
        for (String a : args) {
            int eq = a.indexOf('=');
            p.setProperty(a.substring(0, eq), a.substring(eq + 1));
        }
        RTPexJNI.initStatic0(p, false);
        System.out.println("rev=" + RTPexJNI.getNativeInfo0("rev"));
        long id = RelayHarness.open(1, 43000, 43198);
        RTPexJNI.setTarget0(id, "127.0.0.1", 43199, 0, null, 0, 0, true, 0);
        System.out.println("target=" + RTPexJNI.getTarget0(id));
        System.out.println("status=" + RTPexJNI.getNativeInfo0("REV").replace("\r\n", "|").replace("\n", "/"));
    }
}
