import com.plimo.mail.mapi.MAPIMessage;
import com.plimo.mail.mapi.MAPINative;

import java.io.File;

/**
 * Reads a profile's Inbox through the natives again and again until a stop
 * file appears, while deliver processes write to the same store: every pass
 * must log on, list and read every message, and the Inbox never shrinks.
 *
 * Arguments: PROFILE TEMP_DIR STOP_FILE
 */
public final class ConcurrentInboxReader {
    public static void main(String[] args) {
        String profile = args[0];
        String tempDir = args[1];
        File stop = new File(args[2]);
        if (!MAPINative.initMapi()) {
            System.out.println("FAIL: initMapi");
            System.exit(1);
        }
        int passes = 0;
        int last = 0;
        int failures = 0;
        boolean stopping = false;
        while (!stopping) {
            // One more pass after the stop file appears, to read the end state.
            stopping = stop.exists();
            long store = 0;
            long folder = 0;
            try {
                store = MAPINative.getStore(profile, "", "", tempDir);
                folder = MAPINative.getInbox(store);
                MAPINative.openFolder(folder, 0);
                int count = MAPINative.getFolderMessageCount(folder);
                if (count < last) {
                    System.out.println("FAIL: the Inbox went from " + last + " to " + count + " messages");
                    failures++;
                }
                last = count;
                MAPIMessage[] messages = MAPINative.getFolderMessages(folder, null);
                for (MAPIMessage m : messages) {
                    if (m.getSubject() == null || m.getFrom().length != 1) {
                        System.out.println("FAIL: a message without its subject or sender");
                        failures++;
                    }
                }
            } catch (Exception e) {
                System.out.println("FAIL: " + e);
                failures++;
            } finally {
                if (folder != 0) {
                    MAPINative.closeFolder(folder, false);
                }
                if (store != 0) {
                    MAPINative.closeStore(store);
                }
            }
            passes++;
        }
        System.out.println("java reader: " + passes + " passes, " + last + " messages at the end");
        System.exit(failures == 0 ? 0 : 1);
    }
}
