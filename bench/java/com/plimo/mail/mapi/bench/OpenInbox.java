package com.plimo.mail.mapi.bench;

import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;
import javax.mail.Folder;
import javax.mail.MessagingException;

/**
 * A profile's store and its Inbox, opened through the natives, with the time each step
 * took. No javax.mail folder stands behind the messages: the natives accept none.
 */
final class OpenInbox implements AutoCloseable {

    long store;
    long folder;
    MAPIMessage[] messages = new MAPIMessage[0];
    double logonSeconds;
    double openSeconds;
    double listSeconds;

    static OpenInbox open(String profile, String tempDir) throws MessagingException {
        OpenInbox inbox = new OpenInbox();
        long t0 = System.nanoTime();
        MAPINative.initMapi();
        inbox.store = MAPINative.getStore(profile, "", "", tempDir);
        long t1 = System.nanoTime();
        inbox.folder = MAPINative.getInbox(inbox.store);
        MAPINative.openFolder(inbox.folder, Folder.READ_ONLY);
        long t2 = System.nanoTime();
        inbox.logonSeconds = (t1 - t0) / 1e9;
        inbox.openSeconds = (t2 - t1) / 1e9;
        return inbox;
    }

    int count() throws MessagingException {
        return MAPINative.getFolderMessageCount(folder);
    }

    MAPIMessage[] list() throws MessagingException {
        long t0 = System.nanoTime();
        messages = MAPINative.getFolderMessages(folder, null);
        listSeconds = (System.nanoTime() - t0) / 1e9;
        return messages;
    }

    @Override
    public void close() {
        messages = new MAPIMessage[0];
        MAPINative.closeFolder(folder, false);
        folder = 0;
        MAPINative.closeStore(store);
        store = 0;
    }
}
