// Runs one real OpenSearch node in this JVM, with the engine's own modules (HTTP transport, ingest
// processors, analysis, extra mappers, scripting) as classpath plugins. scripts/engine.sh starts one
// such JVM per node, so that a test can kill a single node of a cluster with SIGKILL.
//
// Usage: java -cp CLASSPATH engines.EmbeddedNode key=value ...   (node settings, e.g. http.port=9200)
// The node runs until the JVM is told to stop (SIGTERM closes it cleanly; SIGKILL is a crash).
package engines;

import java.util.List;
import java.util.Map;
import java.util.concurrent.CountDownLatch;

import org.opensearch.analysis.common.CommonAnalysisPlugin;
import org.opensearch.common.logging.LogConfigurator;
import org.opensearch.common.settings.Settings;
import org.opensearch.env.Environment;
import org.opensearch.index.mapper.MapperExtrasPlugin;
import org.opensearch.ingest.common.IngestCommonPlugin;
import org.opensearch.node.InternalSettingsPreparer;
import org.opensearch.node.Node;
import org.opensearch.painless.PainlessPlugin;
import org.opensearch.plugins.Plugin;
import org.opensearch.transport.Netty4Plugin;

public final class EmbeddedNode {
  private EmbeddedNode() {}

  public static void main(String[] args) throws Exception {
    Settings.Builder builder = Settings.builder();
    for (String arg : args) {
      int eq = arg.indexOf('=');
      if (eq <= 0) {
        System.err.println("EmbeddedNode: a setting must be key=value, not " + arg);
        System.exit(2);
      }
      builder.put(arg.substring(0, eq), arg.substring(eq + 1));
    }
    Settings settings = builder.build();
    LogConfigurator.configureWithoutConfig(settings);  // the node's log goes to standard output

    List<Class<? extends Plugin>> plugins = List.of(Netty4Plugin.class, IngestCommonPlugin.class,
        CommonAnalysisPlugin.class, MapperExtrasPlugin.class, PainlessPlugin.class);
    Environment environment = InternalSettingsPreparer.prepareEnvironment(settings, Map.of(), null,
        () -> settings.get("node.name", "node"));
    // The constructor that takes classpath plugins is the subclass's to call.
    Node node = new Node(environment, plugins, true) {};
    Runtime.getRuntime().addShutdownHook(new Thread(() -> {
      try {
        node.close();
      } catch (Exception e) {
        System.err.println("EmbeddedNode: closing the node failed: " + e);
      }
    }));
    node.start();
    System.out.println("EmbeddedNode: started " + settings.get("node.name"));
    new CountDownLatch(1).await();
  }
}
