package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPIMessage;
import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import javax.mail.MessagingException;
import javax.mail.Session;
import javax.mail.internet.MimeMessage;

/**
 * Calls into the native library's classes ({@code com.plimo.mail.mapi}), whose failures are
 * javax.mail's {@code MessagingException}: this provider raises them as its own
 * {@link MessagingException} (the same class for the javax.mail provider; for the Jakarta
 * Mail provider, built from the same source, a new one that names the original as its cause).
 */
final class Core {

    private Core() {
    }

    /** A call that gives a value. */
    interface Call<T> {
        T call() throws Exception;
    }

    /** A call that gives nothing. */
    interface Run {
        void run() throws Exception;
    }

    static <T> T call(Call<T> call) throws MessagingException {
        try {
            return call.call();
        } catch (RuntimeException e) {
            throw e;
        } catch (Exception e) {
            throw translated(e);
        }
    }

    static void run(Run run) throws MessagingException {
        try {
            run.run();
        } catch (RuntimeException e) {
            throw e;
        } catch (Exception e) {
            throw translated(e);
        }
    }

    static MessagingException translated(Exception e) {
        if (e instanceof MessagingException) {
            return (MessagingException) e;
        }
        return new MessagingException(e.getMessage(), e);
    }

    /**
     * The folder object the natives give the messages they make: this provider's folder when
     * it is a javax.mail one (its messages then check its life themselves), else none.
     */
    static javax.mail.Folder coreFolder(Object folder) { // core type
        return folder instanceof javax.mail.Folder ? (javax.mail.Folder) folder : null; // core type
    }

    /** The message's headers as name and value pairs, in order. */
    static List<String[]> headers(MAPIMessage message) throws MessagingException {
        return call(() -> {
            List<String[]> result = new ArrayList<>();
            for (Enumeration<javax.mail.Header> e = message.getAllHeaders(); e.hasMoreElements();) { // core type
                javax.mail.Header h = e.nextElement(); // core type
                result.add(new String[] {h.getName(), h.getValue()});
            }
            return result;
        });
    }

    /**
     * The content of the MIME form the store's data make ({@link MAPIMessage#toMimeContent()})
     * as this provider's MimeMessage: the same object for javax.mail; for Jakarta Mail, its RFC 822
     * text parsed.
     */
    static MimeMessage mimeForm(MAPIMessage message, Session session) throws MessagingException {
        return message.toMimeContent(); //@javax
        //@jakarta ByteArrayOutputStream out = new ByteArrayOutputStream();
        //@jakarta run(() -> message.toMimeContent().writeTo(out));
        //@jakarta return new MimeMessage(session, new java.io.ByteArrayInputStream(out.toByteArray()));
    }

    /** Sets or clears the store's delete flag of a message. */
    static void setDeleted(MAPIMessage message, boolean set) throws MessagingException {
        run(() -> message.setFlags(new javax.mail.Flags(javax.mail.Flags.Flag.DELETED), set)); // core type
    }

    static boolean isDeleted(MAPIMessage message) throws MessagingException {
        return call(() -> message.isSet(javax.mail.Flags.Flag.DELETED)); // core type
    }
}
