package com.plimo.mail.mapi.bench.compare;

import java.io.File;
import java.util.Date;
import java.util.Properties;
import javax.mail.FetchProfile;
import javax.mail.Folder;
import javax.mail.Message;
import javax.mail.Session;
import javax.mail.Store;

/**
 * The walk of a profile's Inbox through this library's javax.mail provider, as a JavaMail
 * program that names nothing of the library would write it: a {@link Session} with
 * {@code mail.store.protocol=mapi}, {@link Store#connect} with the profile as the user,
 * "INBOX" opened read-only, its messages taken CHUNK at a time with
 * {@link Folder#getMessages(int, int)} and a {@link FetchProfile} (ENVELOPE,
 * CONTENT_INFO and X-Priority), then the same reads as the JavaMail walks through the
 * standard API only: subject, From, To, Cc, sent and received dates, X-Priority and
 * Importance with getHeader, and the content walked with {@link MimeParts} (attached
 * messages are message/rfc822 parts whose content is a message, walked into; every
 * attachment saved to a file from its input stream).
 *
 * <p>Each message is dropped once read, so that the folder can let go of its native
 * content, as a walk over a large folder would.
 *
 * <pre>
 * ProviderWalk PROFILE TEMP_DIR COUNT OUT_DIR RECORDS WARMUP CHUNK
 * </pre>
 */
public final class ProviderWalk {

    private ProviderWalk() {
    }

    public static void main(String[] args) throws Exception {
        String profile = args[0];
        String temp = args[1];
        int count = Integer.parseInt(args[2]);
        File out = new File(args[3]);
        String records = args[4];
        int chunk = Integer.parseInt(args[6]);
        WalkTally tally = new WalkTally("provider", count, WalkTally.warmup(Integer.parseInt(args[5]), count, chunk));
        Properties props = new Properties();
        props.put("mail.store.protocol", "mapi");
        props.put("mail.mapi.tempdir", temp);
        Session session = Session.getInstance(props);
        Store store = session.getStore();
        store.connect(null, profile, "");
        Folder inbox = store.getFolder("INBOX");
        inbox.open(Folder.READ_ONLY);
        try {
            int inFolder = inbox.getMessageCount();
            if (inFolder != count) {
                System.err.println("provider walk: the Inbox holds " + inFolder + " messages, not " + count);
                System.exit(1);
            }
            FetchProfile fp = new FetchProfile();
            fp.add(FetchProfile.Item.ENVELOPE);
            fp.add(FetchProfile.Item.CONTENT_INFO);
            fp.add("X-Priority");
            MimeParts parts = new MimeParts(tally, out);
            for (int first = 1; first <= count; first += chunk) {
                int last = Math.min(count, first + chunk - 1);
                tally.before(first);
                Message[] messages = inbox.getMessages(first, last);
                inbox.fetch(messages, fp);
                for (int n = first; n <= last; n++) {
                    tally.before(n);
                    Message m = messages[n - first];
                    messages[n - first] = null;
                    MimeParts.headers(tally, n, m);
                    Date received = m.getReceivedDate();
                    tally.field(received == null ? 0 : received.getTime());
                    tally.priority(n, MimeParts.priority(m));
                    parts.walk(n, m);
                }
            }
            tally.finish();
        } finally {
            inbox.close(false);
            store.close();
        }
        tally.report(records);
    }
}
