package com.plimo.mail.mapi.provider;

import com.plimo.mail.mapi.MAPIMessage;
import java.util.ArrayList;
import java.util.Enumeration;
import java.util.List;
import javax.mail.Flags;
import javax.mail.Folder;
import javax.mail.Header;
import javax.mail.MessagingException;
import javax.mail.Session;
import javax.mail.internet.MimeMessage;

/**
 * Calls into the native library's classes ({@code com.plimo.mail.mapi}): their failures reach
 * the provider's callers as a {@link MessagingException}, anything else checked is wrapped in
 * one.
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
     * The folder object the natives give the messages they make: this provider's folder (its
     * messages then check its life themselves), else none.
     */
    static Folder coreFolder(Object folder) {
        return folder instanceof Folder ? (Folder) folder : null;
    }

    /** The message's headers as name and value pairs, in order. */
    static List<String[]> headers(MAPIMessage message) throws MessagingException {
        return call(() -> {
            List<String[]> result = new ArrayList<>();
            for (Enumeration<Header> e = message.getAllHeaders(); e.hasMoreElements();) {
                Header h = e.nextElement();
                result.add(new String[] {h.getName(), h.getValue()});
            }
            return result;
        });
    }

    /** The content of the MIME form the store's data make ({@link MAPIMessage#toMimeContent()}). */
    static MimeMessage mimeForm(MAPIMessage message, Session session) throws MessagingException {
        return message.toMimeContent();
    }

    /** Sets or clears the store's delete flag of a message. */
    static void setDeleted(MAPIMessage message, boolean set) throws MessagingException {
        run(() -> message.setFlags(new Flags(Flags.Flag.DELETED), set));
    }

    static boolean isDeleted(MAPIMessage message) throws MessagingException {
        return call(() -> message.isSet(Flags.Flag.DELETED));
    }
}
