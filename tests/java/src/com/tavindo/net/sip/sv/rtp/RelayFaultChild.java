package com.tavindo.net.sip.sv.rtp;

import java.net.DatagramSocket;
import java.net.Socket;
import java.nio.file.Path;
import java.util.Properties;

/**
 * Calls the one native method named by its argument while MEDIARELAY_TEST_FAULT asks the
 * library's fault hook to make that method's body fail; prints the result, the exception record
 * and whether the endpoints it had pinned could still be freed.
 */
public final class RelayFaultChild {
    private RelayFaultChild() {}

    public static void main(String[] args) throws Exception {
        String method = args[0];
        Path log = RelayHarness.start(new Properties());
        long a = 0;
        long b = 0;
        if (!method.equals("openSocket0")) {
            a = RelayHarness.open(1, 43800, 43998);
            b = RelayHarness.open(2, 43800, 43998);
        }
        System.out.println("a=" + a);
        System.out.println("result=" + call(method, a, b));
        String text = RelayHarness.log(log);
        int at = text.indexOf("Exception. ");
        if (at >= 0) {
            int end = text.indexOf("(", text.indexOf("\r\n--- ", at));
            System.out.println("record=" + text.substring(at, end).replace("\r\n", "|"));
            System.out.println("line=" + text.substring(end + 1, text.indexOf(")", end)));
            System.out.println("records=" + (text.split("Exception\\. ", -1).length - 1));
        }
        if (method.equals("workthread0") || method.equals("toDie0") || a == 0) {
            return;
        }
        RelayHarness.lend(0);
        RelayHarness.lend(1);
        RTPexJNI.toDie0(a, false);
        RTPexJNI.toDie0(b, false);
        int pa = RelayHarness.port(a);
        int pb = RelayHarness.port(b);
        boolean freed = RelayHarness.waitUntil(() -> RelayHarness.bindable(pa) && RelayHarness.bindable(pa + 1)
                && RelayHarness.bindable(pb) && RelayHarness.bindable(pb + 1), 10000);
        System.out.println("freed=" + freed);
    }

    private static String call(String method, long a, long b) throws Exception {
        switch (method) {
            case "workthread0":
                return String.valueOf(RTPexJNI.workthread0(1));
            case "openSocket0":
                return String.valueOf(RTPexJNI.openSocket0(987, (byte) 0, 43800, 43998, 0, 0, 0, "h", 200,
                        200, false, (short) 0, false, "127.0.0.1", 0));
            case "openSocketFromCache0":
                return String.valueOf(RTPexJNI.openSocketFromCache0(987, (byte) 0, a, 0, 0, "h", 200, 200,
                        false, false, null, 0));
            case "getPacketPerSec0":
                return String.valueOf(RTPexJNI.getPacketPerSec0(a));
            case "getCntPacket0":
                return String.valueOf(RTPexJNI.getCntPacket0(a));
            case "setSender0":
                RTPexJNI.setSender0(a, b);
                return "void";
            case "setSessionTimeOutTimer0":
                RTPexJNI.setSessionTimeOutTimer0(a, 5);
                return "void";
            case "getTarget0":
                return String.valueOf(RTPexJNI.getTarget0(a));
            case "getTypePayload0":
                return String.valueOf(RTPexJNI.getTypePayload0(a));
            case "setResponsePort0":
                RTPexJNI.setResponsePort0(a, true);
                return "void";
            case "start0":
                RTPexJNI.start0(a);
                return "void";
            case "toDie0":
                RTPexJNI.toDie0(a, true);
                RTPexJNI.toDie0(a, false);
                return "void";
            case "setTarget0":
                return String.valueOf(RTPexJNI.setTarget0(a, "127.0.0.1", 43999, 0, null, 0, 0, false, 7));
            case "getNativeInfo0":
                return String.valueOf(RTPexJNI.getNativeInfo0("x"));
            case "createCryptoToSend0":
                return String.valueOf(RTPexJNI.createCryptoToSend0(a, (short) 0));
            case "srtpKeyRecv0":
                RTPexJNI.srtpKeyRecv0(a, (short) 0, new byte[30]);
                return "void";
            case "srtpStart0":
                RTPexJNI.srtpStart0(a, b);
                return "void";
            case "bindToDeviceDatagram0":
                try (DatagramSocket s = RelayHarness.udp()) {
                    return String.valueOf(RTPexJNI.bindToDeviceDatagram0(s, "lo"));
                }
            case "bindToDevice0":
                try (Socket s = new Socket()) {
                    return String.valueOf(RTPexJNI.bindToDevice0(s, "lo"));
                }
            default:
                throw new IllegalArgumentException(method);
        }
    }
}
