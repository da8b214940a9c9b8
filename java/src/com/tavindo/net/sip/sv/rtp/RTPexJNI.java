package com.tavindo.net.sip.sv.rtp;

/**
 * The media relay's native methods (library {@code mediarelay}): UDP port pairs per call leg
 * that relay RTP, RTCP, STUN and DTLS between two paired endpoints, learn where a far end
 * behind NAT really sends from, and convert between SRTP and plain RTP.
 *
 * <h2>Start-up, in this order</h2>
 * <ol>
 * <li>Load the library ({@code System.load} or {@code System.loadLibrary("mediarelay")}) and
 * set the {@link #setListener listener}.</li>
 * <li>Call {@link #initStatic0} once, with the relay's properties (see the README's
 * configuration table). Every other method needs it: before it, {@link #openSocket0} returns
 * 0 and {@link #workthread0} returns false at once.</li>
 * <li>Lend the relay two threads, started after {@link #initStatic0}, each calling
 * {@link #workthread0} in a loop while it returns true: one with the index 0 ("GC", deferred
 * deletes of closed endpoints), one with the index 1 ("EVENT", the events for Java). Make
 * them daemon threads: on Linux the calls never return false, so the loops never end, and
 * non-daemon threads would keep the JVM from exiting.
 * <pre>{@code
 * for (int queue = 0; queue < 2; queue++) {
 *     final int index = queue;
 *     Thread t = new Thread(() -> { while (RTPexJNI.workthread0(index)) { } }, "relay-" + index);
 *     t.setDaemon(true);
 *     t.start();
 * }
 * }</pre>
 * Without the thread on queue 0, a closed endpoint is never freed and keeps its two ports
 * bound: a range of 20 ports is used up after 10 endpoints. Without the thread on queue 1,
 * events wait for ever and every endpoint with an event waiting stays pinned, so it is never
 * freed either. A slow listener delays the events behind it, and with them the deletes of
 * their endpoints.</li>
 * <li>Open endpoints with {@link #openSocket0}, configure and pair them, and close them with
 * {@link #toDie0}; the README's "Writing a host" gives the call sequences.</li>
 * </ol>
 *
 * <h2>Endpoint ids and directions</h2>
 * An endpoint is one call leg: an RTP socket on an even or odd port P (as the range allows)
 * and an RTCP socket on P + 1. Its id is a long: a sequence number in the upper 32 bits and P
 * in the lower 32 bits, so {@code (int) id} is the RTP port; 0 is never an id and means
 * failure. A method given an id that is not registered (never handed out, or closed) does
 * nothing and returns its "not found" value, logging nothing.
 * <p>
 * Two endpoints a and b form a call when each is the other's sender
 * ({@code setSender0(a, b)} and {@code setSender0(b, a)}). What arrives at a's ports leaves
 * through b's sockets towards a's target ({@code setTarget0(a, X)}), so a's target is the far
 * end that b serves: X is where b's far end receives media.
 *
 * <h2>Threads</h2>
 * Every method but {@link #initStatic0} and {@link #workthread0} may be called on any Java
 * thread at any time after start-up, several at once, also for the same endpoint, and also
 * from inside the listener. {@link #workthread0} blocks while its queue is empty: call it only
 * on the threads lent to the relay. No method throws an exception of its own; failures are
 * results (0, -1, null, false) and records in the log file "proxy.log".
 */
public final class RTPexJNI {
    /** Event type of {@link Listener#onEvent}: the session timed out (value 0). */
    public static final int NATIVE_EVENT_SESSION_TIMEOUT = 1;
    /** Event type of {@link Listener#onEvent}: the RTP receive buffer is now value bytes. */
    public static final int NATIVE_EVENT_BUFFER_SIZE = 2;

    /** Receives the relay's events, on the thread lent to queue 1. */
    public interface Listener {
        /**
         * One event of the relay. It runs on the thread lent to queue 1, which delivers one
         * event after the other: return quickly (an endpoint stays pinned, and cannot be freed,
         * until its event has been delivered). It may call any method of {@link RTPexJNI},
         * {@link RTPexJNI#toDie0} included.
         *
         * @param sid the session id given to {@link RTPexJNI#openSocket0} or
         *     {@link RTPexJNI#openSocketFromCache0}: for a time-out the one current when it was
         *     found, for a buffer size the one current at delivery
         * @param port the endpoint's local RTP port
         * @param type {@link RTPexJNI#NATIVE_EVENT_SESSION_TIMEOUT} or
         *     {@link RTPexJNI#NATIVE_EVENT_BUFFER_SIZE}
         * @param value 0 for a time-out; for a buffer size the RTP receive buffer's new size in
         *     bytes
         * @param ipv6 the endpoint's {@code ipv6} argument of {@link RTPexJNI#openSocket0}
         * @param text always null
         */
        void onEvent(long sid, long port, int type, int value, short ipv6, String text);
    }

    /** The listener of {@link #nativeEvent}; set by any thread, read by the event thread. */
    private static volatile Listener listener;

    /** Only static methods. */
    private RTPexJNI() {}

    /**
     * Sets the listener that {@link #nativeEvent} calls; null drops the events. Set it before
     * the thread on queue 1 is lent.
     *
     * @param l the listener, or null
     */
    public static void setListener(Listener l) {
        listener = l;
    }

    /**
     * Called by the relay, from inside {@link #workthread0}(1), for every event. The relay
     * finds it by this name and the signature {@code (JJIISLjava/lang/String;)V}: neither may
     * change, and a shrinker (ProGuard, R8) must keep it, for nothing in Java calls it, e.g.
     * {@code -keep class com.tavindo.net.sip.sv.rtp.RTPexJNI { static void nativeEvent(...);
     * native <methods>; }}.
     * <p>
     * The relay clears an exception that leaves this method and logs only the line
     * "Exception Occured in Java method.(nativeEvent)1" (or "2"), without a stack trace. So an
     * exception of the listener is reported here first, to the thread's uncaught-exception
     * handler (the default one prints it to {@code System.err}; the thread goes on), and then
     * passed on to the relay.
     *
     * @param sid the session id
     * @param port the endpoint's local RTP port
     * @param type the event type
     * @param value the event's value
     * @param ipv6 the endpoint's ipv6 flag
     * @param text always null
     */
    static void nativeEvent(long sid, long port, int type, int value, short ipv6, String text) {
        Listener l = listener;
        if (l == null) {
            return;
        }
        try {
            l.onEvent(sid, port, type, value, ipv6, text);
        } catch (RuntimeException | Error e) {
            Thread t = Thread.currentThread();
            t.getUncaughtExceptionHandler().uncaughtException(t, e);
            throw e;
        }
    }

    /**
     * Starts the relay: copies the properties, opens the log file "proxy.log" in the log
     * directory ("path.log", else "path.work" + "/log"; the directory must exist, it is not
     * created, and without it there is no log at all), writes the start marker
     * "mediarelay#start#" and the time in ms, and applies the configuration keys (the README's
     * table). Call it once, before every other method. A second call is ignored (and logged);
     * with null nothing is started.
     * <p>
     * Windows: by default it also puts the whole process into the real-time priority class
     * ("process.priority" 1; set it to 0 to keep the host's class) and raises the system timer
     * resolution to 1 ms ("timebeginperiod" 1; 0 leaves it alone).
     *
     * @param properties the relay's settings: an object answering {@code propertyNames()} and
     *     {@code getProperty(String)}, such as {@link java.util.Properties}; only string keys
     *     and values
     * @param hostFlag accepted and not used
     */
    public static native void initStatic0(Object properties, boolean hostFlag);

    /**
     * Lends the calling thread to one of the relay's two queues: it waits for events and
     * handles them, at most 40 per call, delivering the events of queue 1 to
     * {@link #nativeEvent}. Call it in a loop while it returns true, on a daemon thread of
     * its own for each queue (see the class comment).
     *
     * @param queueIndex 0 for "GC" (deferred deletes), 1 for "EVENT" (events for Java)
     * @return true after 40 events (call again); false at once before {@link #initStatic0}
     *     or for another index, and once the relay is shutting down (Windows unload only: on
     *     Linux it never returns false after start-up)
     */
    public static native boolean workthread0(int queueIndex);

    /**
     * Opens an endpoint: searches the range for a port P, in steps of two, such that P and
     * P + 1 can both be bound, binds them and starts reading them.
     *
     * @param sid the host's session id, given back in events and in the status text
     * @param hostByte a value of the host's, stored and never read
     * @param portMin lowest RTP port of the search; 0 opens nothing (result 0)
     * @param portMax highest RTP port of the search; the RTCP port may be portMax + 1
     * @param portStart the first RTP port tried when it lies in the range (an odd one is
     *     raised by 1); the search goes up to portMax, then from portMin up to below it.
     *     Outside the range the search starts at portMin (an odd portMin gives odd ports)
     * @param tos the IP type-of-service byte of both sockets
     * @param sessionTimeout ms without a datagram on the endpoint's ports (counted from the
     *     last one, or from {@link #setSender0}) after which event
     *     {@link #NATIVE_EVENT_SESSION_TIMEOUT} is posted, once: the next datagram arms it
     *     again; 0 or less: none. It is checked about every 200 ms
     * @param hostText a text of the host's, stored and never read; null is empty
     * @param rtpBufSize first receive buffer size of the RTP socket in bytes: pass at least the
     *     largest datagram expected; 0 or less gives 1500. A datagram that fills the buffer is
     *     dropped and the buffer grows by 200 bytes (up to 20000), posting event
     *     {@link #NATIVE_EVENT_BUFFER_SIZE}
     * @param rtcpBufSize the same for the RTCP socket, which grows silently (no event)
     * @param behindNat learning allowed on both sockets: a {@link #setTarget0} with
     *     {@code natLearn} then learns the real address (see {@link #setTarget0})
     * @param ipv6 1 opens IPv6 sockets, any other value IPv4 sockets
     * @param srtpPending true: the endpoint starts with SRTP pending and drops media until
     *     {@link #srtpStart0}
     * @param bindIp the local address to bind to (numeric, or a name looked up once on this
     *     thread), of the family that {@code ipv6} gives; null or empty binds to any address
     * @param scopeId the IPv6 scope id of {@code bindIp}
     * @return the new endpoint's id; 0 when no pair of ports could be bound (logged: "port
     *     open all failed ..."), before {@link #initStatic0}, or on a failure
     */
    public static native long openSocket0(long sid, byte hostByte, int portMin, int portMax,
            int portStart, int tos, long sessionTimeout, String hostText, int rtpBufSize,
            int rtcpBufSize, boolean behindNat, short ipv6, boolean srtpPending, String bindIp,
            int scopeId);

    /**
     * Reuses a registered endpoint, with its sockets and ports, for a new session: clears
     * its destinations, learned addresses, STUN state, counters, payload type, session timer
     * and SRTP keys, and takes the new values. It keeps its pairing (set it again with
     * {@link #setSender0}, or drop it with {@link #toDie0}(id, true)), its receive buffers
     * (a new size only matters for a socket that has none yet) and its bound address.
     * <p>
     * Reuse an endpoint only once the previous call's media has stopped, or use a fresh one:
     * the previous far end may still send to these ports, and learning may take it as the new
     * call's far end.
     *
     * @param sid the new session id
     * @param hostByte a value of the host's, stored and never read
     * @param cacheId the id of the endpoint to reuse; the host keeps using this id afterwards
     * @param tos the IP type-of-service byte of both sockets
     * @param sessionTimeout as for {@link #openSocket0}
     * @param hostText a text of the host's, stored and never read
     * @param rtpBufSize as for {@link #openSocket0}
     * @param rtcpBufSize as for {@link #openSocket0}
     * @param behindNat learning allowed on both sockets, as for {@link #openSocket0}
     * @param srtpPending as for {@link #openSocket0}
     * @param bindIp stored only: the sockets stay bound as they are
     * @param scopeId stored only
     * @return 0 when {@code cacheId} is not registered; otherwise a fresh sequence number in
     *     the upper 32 bits and the RTP port in the lower: it has the form of an id but is
     *     not one, and methods given it find no endpoint
     */
    public static native long openSocketFromCache0(long sid, byte hostByte, long cacheId,
            int tos, long sessionTimeout, String hostText, int rtpBufSize, int rtcpBufSize,
            boolean behindNat, boolean srtpPending, String bindIp, int scopeId);

    /**
     * Datagrams per second on the RTP port since {@link #start0}.
     *
     * @param id the endpoint
     * @return {@link #getCntPacket0} divided by the whole seconds since {@link #start0}; 0
     *     before {@link #start0}, in its first second, or when the id is not registered
     */
    public static native int getPacketPerSec0(long id);

    /**
     * Datagrams accepted on the RTP port (not blocked by configuration, nor a stranger's STUN)
     * since the endpoint was opened, reused or {@link #start0}ed, relayed or not. Those of
     * the RTCP port are not counted.
     *
     * @param id the endpoint
     * @return the count; 0 when the id is not registered
     */
    public static native long getCntPacket0(long id);

    /**
     * Pairs one direction: what arrives at {@code id} leaves through {@code senderId}'s
     * sockets (towards {@code id}'s target). Call it once for each endpoint of a call. A
     * second call with another endpoint re-pairs (transfer). It arms the session timer.
     * Nothing happens when either id is not registered or {@code id} is closing.
     *
     * @param id the endpoint whose datagrams are sent on
     * @param senderId the endpoint whose sockets send them
     */
    public static native void setSender0(long id, long senderId);

    /**
     * Sets the session time-out; the timer's start is not touched.
     *
     * @param id the endpoint
     * @param sessionTimeout ms; 0 or less switches the time-out off
     */
    public static native void setSessionTimeOutTimer0(long id, long sessionTimeout);

    /**
     * Where datagrams that arrive at the endpoint's RTP port are relayed to.
     *
     * @param id the endpoint
     * @return "address:port" (the address as {@link #setTarget0} gave it, or the learned one);
     *     null where the relay has no far end: no target, a target that does not resolve or
     *     does not fit the address family, a destination still to be learned, or an id that is
     *     not registered
     */
    public static native String getTarget0(long id);

    /**
     * The RTP payload type seen first.
     *
     * @param id the endpoint
     * @return the payload type (0 to 127) of the first RTP datagram accepted while the
     *     endpoint was paired, since it was opened, reused or {@link #start0}ed; -1 for none or
     *     when the id is not registered
     */
    public static native int getTypePayload0(long id);

    /**
     * Allows and starts learning on both sockets at once, or stops it, without changing the
     * target: the counterpart, set at any time, of {@code behindNat} (which only allows) and
     * of {@link #setTarget0}'s {@code natLearn} (which asks for a target).
     *
     * @param id the endpoint
     * @param learn true: learning allowed, and both sockets learn their destination afresh
     *     from the next datagrams of the partner's far end; false: learning stops on both
     *     (the destinations stay as they are at that moment)
     */
    public static native void setResponsePort0(long id, boolean learn);

    /**
     * Clears both sockets' packet counts and the payload type, and starts the clock of
     * {@link #getPacketPerSec0}.
     *
     * @param id the endpoint
     */
    public static native void start0(long id);

    /**
     * Ends the endpoint, or only its pairing.
     *
     * @param id the endpoint
     * @param senderOnly true: only drops this endpoint's sender (what arrives at it is no
     *     longer relayed), switches its session timer off and ends its SRTP counting; the
     *     endpoint stays registered and usable, and its partner still sends through it.
     *     false: closes it: it leaves the registry at once (its id is unknown from then on),
     *     drops its pairing and is no longer read; it is freed, and its ports released, once
     *     nothing pins it: at once or by the thread on queue 0, retrying every 2 s. A partner
     *     that still has it as sender pins it, so close both endpoints of a call (or re-pair
     *     the partner) to free it
     */
    public static native void toDie0(long id, boolean senderOnly);

    /**
     * Does nothing and returns at once.
     *
     * @param id not read
     */
    public static native void join0(long id);

    /**
     * Sets where the datagrams that arrive at the endpoint are relayed to: they leave through
     * the partner's sockets (see {@link #setSender0}), so give the address where the
     * partner's far end receives media, of the family of the partner's sockets. A name is
     * looked up on the calling thread, which may block for the resolver's time (the receive
     * threads never look names up); a repeated call looks it up again.
     * <p>
     * With {@code natLearn} true and learning allowed ({@code behindNat} of
     * {@link #openSocket0}, or {@link #setResponsePort0}), the destination is learned: it
     * becomes the address the partner's far end really sends from, taken from its next
     * datagram; until then nothing is relayed ("rtp.behindnat.send" true relays to the target
     * meanwhile). A source at the target's own address is preferred to one elsewhere (see the
     * README's "What learning can tell apart"). A new address or port forgets what was
     * learned and learns afresh; a repeated call with the same address and port keeps it,
     * and with {@code natLearn} true re-arms learning (resume after hold). With
     * {@code flags & 2} the RTCP socket learns from where the far end's RTP comes from.
     *
     * @param id the endpoint
     * @param addr the RTP destination's address, numeric or a name
     * @param port the RTP destination's port
     * @param scopeId its IPv6 scope id
     * @param rtcpAddr the RTCP destination's address; null: {@code addr} with port
     *     {@code port} + 1 and {@code scopeId}
     * @param rtcpPort the RTCP destination's port (read when {@code rtcpAddr} is not null)
     * @param rtcpScopeId its scope id (likewise)
     * @param natLearn learn the real destination from the partner's far end
     * @param flags {@code flags & 2} set: RTCP travels on the RTP port, so the RTCP socket
     *     takes the RTP destination and the three RTCP arguments are ignored; other bits are
     *     not read
     * @return {@code flags}, unchanged, in every case
     */
    public static native int setTarget0(long id, String addr, int port, int scopeId,
            String rtcpAddr, int rtcpPort, int rtcpScopeId, boolean natLearn, int flags);

    /**
     * The relay's revision or its status text.
     * <p>
     * The status text, lines ending in "\r\n" or "\n": {@code <EventQueue GC> :q.size:N},
     * {@code scdq.size:M} (events waiting and scheduled: deferred deletes), then the same
     * for {@code <EventQueue EVENT>}, then {@code <RTPex> count:N;} and the registered
     * endpoints as {@code port(sid)}, {@code port@(sid)} when paired, then
     * {@code <SRTP Converting> count:N} (pairs converting SRTP).
     *
     * @param key "rev" (exactly) for the revision; anything else, null included, for the
     *     status text
     * @return "1" for "rev"; otherwise the status text, or null before {@link #initStatic0}
     */
    public static native String getNativeInfo0(String key);

    /**
     * Makes the endpoint's outbound SRTP context: what the relay sends out through this
     * endpoint's sockets, to its own far end, is protected with a new key. Give the key to
     * that far end (in SDP, {@code a=crypto} with the key base64-encoded). A new call replaces
     * the key; call {@link #srtpStart0} after it.
     *
     * @param id the endpoint whose far end speaks SRTP
     * @param suite 1 for AES_CM_128_HMAC_SHA1_32, any other value (0, say) for
     *     AES_CM_128_HMAC_SHA1_80; SRTCP always takes an 80-bit tag
     * @return the master key: 30 bytes, the 16-byte key then the 14-byte salt, drawn from
     *     letters and digits; null when the id is not registered or on a failure
     */
    public static native byte[] createCryptoToSend0(long id, short suite);

    /**
     * Sets the key of the far end of {@code id}'s partner: the SRTP that this far end sends to
     * the partner is removed with it on its way out through {@code id}'s sockets. So the key
     * goes on the other endpoint: for an endpoint a whose far end speaks SRTP and its partner
     * b, {@code createCryptoToSend0(a, suite)} (the relay's key, for a's far end),
     * {@code srtpKeyRecv0(b, suite, keyOfAsFarEnd)}, then {@code srtpStart0(a, b)}.
     *
     * @param id the partner of the endpoint whose far end sends SRTP
     * @param suite as for {@link #createCryptoToSend0}, the suite the far end offered
     * @param key the far end's master key, 30 bytes (16 key, 14 salt), decoded from base64;
     *     a null or shorter array is refused (no context)
     */
    public static native void srtpKeyRecv0(long id, short suite, byte[] key);

    /**
     * Starts the conversion of a pair with the keys set: an endpoint whose outbound context
     * ({@link #createCryptoToSend0}) and its partner's inbound one ({@link #srtpKeyRecv0})
     * both exist converts (SRTP to and from its far end); where one of the two is missing,
     * both are dropped and that side is plain. Also ends a pending state
     * ({@code srtpPending}). Call it after the keys, and again after new keys.
     *
     * @param idA one endpoint of the pair
     * @param idB the other
     */
    public static native void srtpStart0(long idA, long idB);

    /**
     * Linux: binds a datagram socket that Java opened to a network device
     * ({@code SO_BINDTODEVICE}, which usually needs the privilege {@code CAP_NET_RAW}), so
     * that it sends and receives through that device only. Windows: does nothing.
     *
     * @param socket a {@link java.net.DatagramSocket}
     * @param name the interface name, e.g. "eth1"
     * @return true when bound (Windows: always); false when the socket is null, its
     *     descriptor could not be found or the option failed (each logged: "... could not get
     *     ..." or "setsockopt SO_BINDTODEVICE errno=N"). A JDK whose socket classes lack the
     *     fields read leaves a {@link NoSuchFieldError} thrown by this call
     */
    public static native boolean bindToDeviceDatagram0(Object socket, String name);

    /**
     * The same as {@link #bindToDeviceDatagram0} for a stream socket.
     *
     * @param socket a {@link java.net.Socket}
     * @param name the interface name
     * @return as for {@link #bindToDeviceDatagram0}
     */
    public static native boolean bindToDevice0(Object socket, String name);
}
