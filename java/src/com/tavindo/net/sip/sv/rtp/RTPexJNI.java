package com.tavindo.net.sip.sv.rtp;

/**
 * The media relay's native methods. Call {@link #initStatic0} once first, then lend two
 * threads that call {@link #workthread0} with the queue index 0 ("GC") and 1 ("EVENT")
 * in a loop while it returns true.
 */
public final class RTPexJNI {
    /** Event type of {@link Listener#onEvent}: the session timed out. */
    public static final int NATIVE_EVENT_SESSION_TIMEOUT = 1;
    /** Event type of {@link Listener#onEvent}: the receive buffer grew to value bytes. */
    public static final int NATIVE_EVENT_BUFFER_SIZE = 2;

    /** Receives the relay's events on the thread lent to queue 1. */
    public interface Listener {
        void onEvent(long sid, long port, int type, int value, short ipv6, String text);
    }

    private static volatile Listener listener;

    private RTPexJNI() {}

    public static void setListener(Listener l) {
        listener = l;
    }

    /** Called by the relay from inside {@link #workthread0}(1). */
    static void nativeEvent(long sid, long port, int type, int value, short ipv6, String text) {
        Listener l = listener;
        if (l != null) {
            l.onEvent(sid, port, type, value, ipv6, text);
        }
    }

    public static native void initStatic0(Object properties, boolean hostFlag);

    public static native boolean workthread0(int queueIndex);

    public static native long openSocket0(long sid, byte hostByte, int portMin, int portMax,
            int portStart, int tos, long sessionTimeout, String hostText, int rtpBufSize,
            int rtcpBufSize, boolean behindNat, short ipv6, boolean srtpPending, String bindIp,
            int scopeId);

    public static native long openSocketFromCache0(long sid, byte hostByte, long cacheId,
            int tos, long sessionTimeout, String hostText, int rtpBufSize, int rtcpBufSize,
            boolean behindNat, boolean srtpPending, String bindIp, int scopeId);

    public static native int getPacketPerSec0(long id);

    public static native long getCntPacket0(long id);

    public static native void setSender0(long id, long senderId);

    public static native void setSessionTimeOutTimer0(long id, long sessionTimeout);

    public static native String getTarget0(long id);

    public static native int getTypePayload0(long id);

    public static native void setResponsePort0(long id, boolean learn);

    public static native void start0(long id);

    public static native void toDie0(long id, boolean senderOnly);

    public static native void join0(long id);

    public static native int setTarget0(long id, String addr, int port, int scopeId,
            String rtcpAddr, int rtcpPort, int rtcpScopeId, boolean natLearn, int flags);

    public static native String getNativeInfo0(String key);

    public static native byte[] createCryptoToSend0(long id, short suite);

    public static native void srtpKeyRecv0(long id, short suite, byte[] key);

    public static native void srtpStart0(long idA, long idB);

    public static native boolean bindToDeviceDatagram0(Object socket, String name);

    public static native boolean bindToDevice0(Object socket, String name);
}
