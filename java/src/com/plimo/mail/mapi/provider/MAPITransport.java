package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPINative;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import javax.mail.Address;
import javax.mail.AuthenticationFailedException;
import javax.mail.Message;
import javax.mail.MessagingException;
import javax.mail.SendFailedException;
import javax.mail.Session;
import javax.mail.Transport;
import javax.mail.URLName;
import javax.mail.event.TransportEvent;
import javax.mail.event.TransportListener;
import javax.mail.internet.InternetAddress;

/**
 * Sends any {@link Message} through a MAPI profile (protocol {@code mapi}).
 *
 * <p>{@code connect(host, user, password)} logs on to the profile named by {@code user}
 * (else {@code mail.mapi.user} or {@code mail.user}) and opens its Outbox; the sent copy
 * goes to {@code mail.mapi.sentfolder} (a path of folder names below the top of the
 * store, default "Sent Items"; empty: deleted once sent). Each message is converted by
 * {@link MessageComposer} into a native message of the Outbox, sent and destroyed, the
 * attachment data passing through files only the user can read, which are deleted
 * afterwards. The spooler of the process delivers it while a session of the profile is
 * logged on, or {@code tolvane-mapi spool run} does later: the message is queued durably
 * either way.
 *
 * <p>Listeners get a {@link TransportEvent} per message as JavaMail's own transports send
 * them: {@code MESSAGE_DELIVERED} with every address once queued, {@code MESSAGE_NOT_DELIVERED}
 * with the addresses unsent (or invalid) when it failed.
 *
 * <p>A transport dropped while connected (never closed) logs off once it is unreachable,
 * by a {@link java.lang.ref.Cleaner}.
 */
public class MAPITransport extends Transport {

    static final String DEFAULT_SENT_FOLDER = "Sent Items";

    /**
     * Transport listeners and the thread that tells them, in order. javax.mail 1.6's own
     * event queue loses the events of a service closed right after they were queued: its
     * EventQueue starts a thread whose run() reads the queue field, which terminateQueue
     * (called by close) may already have set to null, so the thread ends without
     * dispatching. Events here go to a thread of this transport that close() lets finish.
     */
    private final List<TransportListener> listeners = new CopyOnWriteArrayList<>();
    private ExecutorService events;

    private long handle;
    /** The logon: closed by close(), or by a cleaner if this transport is dropped connected. */
    private NativeHandle logon;
    private String tempDir;

    public MAPITransport(Session session, URLName url) {
        super(session, url);
    }

    /**
     * Takes the profile from the session when {@code user} is null, before javax.mail
     * falls back to the name of the system user: {@code mail.mapi-transport.user}, else {@code mail.mapi.user},
     * else {@code mail.user}.
     */
    @Override
    public void connect(String host, int port, String user, String password) throws MessagingException {
        if (user == null) {
            user = session.getProperty("mail.mapi-transport.user");
        }
        if (user == null) {
            user = session.getProperty("mail.mapi.user");
        }
        super.connect(host, port, user, password);
    }

    @Override
    protected synchronized boolean protocolConnect(String host, int port, String user, String password)
            throws MessagingException {
        NativeLibrary.start(session);
        if (user == null || user.isEmpty()) {
            user = NativeLibrary.property(session, "mail.mapi.user", session.getProperty("mail.user"));
        }
        if (user == null || user.isEmpty()) {
            throw new AuthenticationFailedException("No MAPI profile named: connect with the profile as the user");
        }
        tempDir = NativeLibrary.property(session, "mail.mapi.tempdir", System.getProperty("java.io.tmpdir"));
        String sentFolder = NativeLibrary.property(session, "mail.mapi.sentfolder", DEFAULT_SENT_FOLDER);
        if (handle != 0) {
            throw new IllegalStateException("The transport is already connected");
        }
        long h;
        try {
            String profileName = user;
            String secret = password == null ? "" : password;
            String temp = tempDir;
            h = Core.call(() -> MAPINative.getTransport(profileName, secret, temp, sentFolder));
        } catch (MessagingException e) {
            AuthenticationFailedException failed = new AuthenticationFailedException(
                    "Cannot log on to MAPI profile '" + user + "' to send: " + e.getMessage());
            failed.setNextException(e);
            throw failed;
        }
        if (h == 0) {
            throw new AuthenticationFailedException("Cannot log on to MAPI profile '" + user + "' to send");
        }
        // The cleaning action may not hold this transport: its lock is its own.
        logon = new NativeHandle(this, h, null, MAPINative::closeTransport);
        handle = h;
        return true;
    }

    @Override
    public synchronized boolean isConnected() {
        return handle != 0 && super.isConnected();
    }

    @Override
    public void close() throws MessagingException {
        synchronized (this) {
            long h = logon == null ? 0 : logon.release();
            logon = null;
            handle = 0;
            if (h != 0) {
                Core.run(() -> MAPINative.closeTransport(h));
            }
            if (events != null) {
                events.shutdown();
                events = null;
            }
        }
        super.close();
    }

    @Override
    public void addTransportListener(TransportListener listener) {
        listeners.add(listener);
    }

    @Override
    public void removeTransportListener(TransportListener listener) {
        listeners.remove(listener);
    }

    /** Tells the listeners on this transport's event thread, in the order of the calls. */
    @Override
    protected void notifyTransportListeners(int type, Address[] validSent, Address[] validUnsent,
            Address[] invalid, Message message) {
        if (listeners.isEmpty()) {
            return;
        }
        TransportEvent event = new TransportEvent(this, type, validSent, validUnsent, invalid, message);
        List<TransportListener> now = new ArrayList<>(listeners);
        eventThread().execute(() -> {
            for (TransportListener listener : now) {
                event.dispatch(listener);
            }
        });
    }

    private synchronized ExecutorService eventThread() {
        if (events == null) {
            events = Executors.newSingleThreadExecutor(task -> {
                Thread t = new Thread(task, "MAPITransport-events");
                t.setDaemon(true);
                return t;
            });
        }
        return events;
    }

    /**
     * Sends {@code message} to {@code addresses}: those that its To or Cc header names go
     * as To or Cc recipients, every other one as a blind recipient.
     */
    @Override
    public void sendMessage(Message message, Address[] addresses) throws MessagingException {
        if (addresses == null || addresses.length == 0) {
            throw new SendFailedException("No recipient addresses");
        }
        List<Address> invalid = new ArrayList<>();
        List<InternetAddress> valid = new ArrayList<>();
        for (Address a : addresses) {
            if (a instanceof InternetAddress && ((InternetAddress) a).getAddress() != null
                    && !((InternetAddress) a).getAddress().isEmpty()) {
                valid.add((InternetAddress) a);
            } else {
                invalid.add(a);
            }
        }
        if (!invalid.isEmpty()) {
            Address[] bad = invalid.toArray(new Address[0]);
            Address[] unsent = valid.toArray(new Address[0]);
            notifyTransportListeners(TransportEvent.MESSAGE_NOT_DELIVERED, new Address[0], unsent, bad, message);
            throw new SendFailedException("Not Internet mail addresses: " + describe(bad), null,
                    new Address[0], unsent, bad);
        }
        try {
            synchronized (this) {
                if (handle == 0) {
                    throw new IllegalStateException("The MAPI transport is not connected");
                }
                send(message, valid);
            }
        } catch (MessagingException | RuntimeException e) {
            notifyTransportListeners(TransportEvent.MESSAGE_NOT_DELIVERED, new Address[0], addresses.clone(),
                    new Address[0], message);
            if (e instanceof IllegalStateException) {
                throw (IllegalStateException) e;
            }
            Exception cause = e;
            throw new SendFailedException("The message could not be sent: " + e.getMessage(), cause,
                    new Address[0], addresses.clone(), new Address[0]);
        }
        notifyTransportListeners(TransportEvent.MESSAGE_DELIVERED, addresses.clone(), new Address[0],
                new Address[0], message);
    }

    /** Composes, sends and destroys one native message; called with this transport's lock held. */
    private void send(Message message, List<InternetAddress> envelope) throws MessagingException {
        Path dir = privateDirectory();
        try {
            long native_ = Core.call(() -> MAPINative.createMessage(handle));
            if (native_ == 0) {
                throw new MessagingException("The Outbox gave no new message");
            }
            MessageComposer composer = new MessageComposer(native_, dir);
            // Destroyed on every path: here, or by the cleaner should this frame never get to
            // it. The cleaner's action takes this transport's monitor, which this thread holds
            // until the send is over, so it cannot destroy the message while it is in use.
            NativeHandle composed = new NativeHandle(composer, native_, this, MAPINative::destroyMessage);
            try {
                composer.compose(message, envelope);
                Core.run(() -> MAPINative.sendMessage(native_));
            } finally {
                composed.close();
            }
        } finally {
            deleteTree(dir);
        }
    }

    /** A new directory that only this user can enter, for one message's attachment files. */
    private Path privateDirectory() throws MessagingException {
        try {
            Path base = Paths.get(tempDir == null ? System.getProperty("java.io.tmpdir") : tempDir);
            if (FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
                return Files.createTempDirectory(base, "mapisend",
                        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            }
            return Files.createTempDirectory(base, "mapisend");
        } catch (IOException e) {
            throw new MessagingException("Cannot make a private directory for attachments in " + tempDir, e);
        }
    }

    static void deleteTree(Path dir) {
        try (java.util.stream.Stream<Path> files = Files.list(dir)) {
            files.forEach(f -> {
                try {
                    Files.deleteIfExists(f);
                } catch (IOException ignored) {
                    // Left for the temporary-file cleaner; it is readable by this user only.
                }
            });
        } catch (IOException ignored) {
            // The directory is gone already.
        }
        try {
            Files.deleteIfExists(dir);
        } catch (IOException ignored) {
            // Not empty: something above could not be deleted.
        }
    }

    private static String describe(Address[] addresses) {
        StringBuilder b = new StringBuilder();
        for (Address a : addresses) {
            if (b.length() > 0) {
                b.append(", ");
            }
            b.append(a);
        }
        return b.toString();
    }

    /** Lower-case addresses of a header's recipients, mapped to their parsed form. */
    static Map<String, InternetAddress> byAddress(Address[] addresses) {
        Map<String, InternetAddress> result = new LinkedHashMap<>();
        if (addresses != null) {
            for (Address a : addresses) {
                if (a instanceof InternetAddress && ((InternetAddress) a).getAddress() != null) {
                    result.put(((InternetAddress) a).getAddress().toLowerCase(Locale.ROOT), (InternetAddress) a);
                }
            }
        }
        return result;
    }

    /** Copies a stream to a new file readable and writable by its owner only. */
    static void writePrivateFile(Path file, InputStream in) throws IOException {
        if (FileSystems.getDefault().supportedFileAttributeViews().contains("posix")) {
            Files.createFile(file, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------")));
        } else {
            Files.createFile(file);
        }
        try (OutputStream out = Files.newOutputStream(file)) {
            byte[] buffer = new byte[64 * 1024];
            int n;
            while ((n = in.read(buffer)) > 0) {
                out.write(buffer, 0, n);
            }
        }
    }

    static byte[] utf8(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }
}
